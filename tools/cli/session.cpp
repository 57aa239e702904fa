// The sequence of ZorMain requests a host makes (GetDriverInfo, ColdStart,
// DefinePoint or CheckBlock, the transfers, Stop), the plan of the points
// before it, and info.
#include "tools/cli/session.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/log_lines.h"
#include "host/port_diagnosis.h"
#include "tools/cli/port_line.h"
#include "tools/cli/runner.h"
#include "tools/cli/text_encoding.h"
#include "tools/cli/values.h"

namespace tiway {

bool Runner::GetInfo(ZorDriverInfo& info) {
  // The instance's context grows to the contextSize it gives.
  return instance_.Info(info).ok() && info.contextSize > 0;
}

namespace {

// The plan of one point, or what is wrong with it.
Problem PlanPoint(const PointSpec& spec, int32_t hostType, PointPlan& out) {
  PointPlan plan;
  plan.spec = spec;
  plan.hostType = hostType;
  // The text's rules; the size of a range is the splitting's business
  // (CheckBlock only ever sees blocks that fit).
  const bool bitText = spec.text.size() == 8;
  CheckedPoint first;
  if (Problem problem =
          CheckAddress(spec.text, plan.hostType, spec.count > 1 && !bitText, 2, first)) {
    return problem;
  }
  plan.kind = first.kind;
  if (plan.kind == PointKind::VBit) plan.warning = BitDigitWarning(spec.text);
  plan.chunks = SplitRange(first.address, spec.count);
  if (plan.chunks.empty()) {
    return std::to_string(spec.count) + " elements from " + spec.text + " run past element FFFF";
  }
  for (const Chunk& chunk : plan.chunks) {
    CheckedPoint checked;
    if (Problem problem =
            CheckAddress(chunk.text, plan.hostType, chunk.count > 1 && plan.kind != PointKind::VBit,
                         DriverElementCount(plan.kind, chunk.count), checked)) {
      return chunk.text + ": " + *problem;
    }
  }
  out = std::move(plan);
  return std::nullopt;
}

}  // namespace

bool Runner::Plan(std::vector<PointPlan>& plans, OpResult& failure) {
  std::vector<ScanLine> lines;
  for (const PointSpec& spec : o_.points) lines.push_back({spec, std::nullopt});
  if (!o_.scanList.empty()) {
    std::string text;
    if (Problem why = host_.readFile(o_.scanList, text)) {
      failure = Failure("plan", kExitUsage, o_.scanList + ": cannot read the scan list: " + *why);
      return false;
    }
    std::vector<ScanLine> listed = ParseScanList(text, o_.scanList);
    if (listed.empty()) {
      failure = Failure("plan", kExitUsage,
                        o_.scanList +
                            ": the scan list names no point (one POINT[:COUNT] per "
                            "line; '#' starts a comment)");
      return false;
    }
    lines.insert(lines.end(), listed.begin(), listed.end());
  }
  // Every mistake at once, in the order of the command line and the list's
  // lines: a line that is not a point makes it a usage error, a point the
  // driver would refuse a bad point.
  std::string problems;
  int exitCode = kExitOk;
  const PointSpec* firstBad = nullptr;
  for (const ScanLine& line : lines) {
    const PointSpec& spec = line.spec;
    const std::string where = spec.origin.empty() ? "" : spec.origin + ": ";
    PointPlan plan;
    std::string problem;
    if (line.problem) {
      problem = where + *line.problem;
      exitCode = kExitUsage;
    } else if (Problem why =
                   PlanPoint(spec, o_.hostType.value_or(DefaultHostType(spec.text)), plan)) {
      problem = where + "bad point " + spec.text + ": " + *why;
      if (exitCode == kExitOk) exitCode = kExitBadPoint;
      if (firstBad == nullptr) firstBad = &spec;
    } else {
      plans.push_back(std::move(plan));
      continue;
    }
    problems += (problems.empty() ? "" : "\n") + problem;
  }
  if (problems.empty()) return true;
  failure = Failure("plan", exitCode, problems);
  if (firstBad != nullptr) {
    failure.point = firstBad->text;
    failure.count = firstBad->count;
  }
  return false;
}

bool Runner::Define(PointPlan& plan, OpResult& op) {
  plan.addresses.clear();
  for (const Chunk& chunk : plan.chunks) {
    ZorPointDefinition definition{};
    const bool block = chunk.count > 1 && plan.kind != PointKind::VBit;
    definition.addressText = chunk.text.c_str();
    definition.hostDataType = plan.hostType;
    definition.elementCount = DriverElementCount(plan.kind, chunk.count);
    const char* step = block ? "CheckBlock" : "DefinePoint";
    const int32_t status = Call(block ? ZOR_CHECK_BLOCK : ZOR_DEFINE_POINT, &definition, op);
    if (status != ZOR_OK) {
      op.ok = false;
      op.step = step;
      SetStatus(op, status, StatusMeaning(status, Step::Define));
      op.exitCode = status == ZOR_REFUSED ? kExitBadPoint : kExitDriverStatus;
      op.message =
          status == ZOR_REFUSED
              ? "the driver refused the point " + chunk.text + " (" + step + " status 1)"
              : std::string(step) + " returned " + std::to_string(status) + ": " + op.meaning;
      return false;
    }
    plan.addresses.push_back(definition.address);
  }
  SetStatus(op, ZOR_OK, "success");
  return true;
}
void Runner::Stop(OpResult* into) {
  if (context_ == nullptr || stopped_) return;
  OpResult scratch;
  const int32_t status = Call(ZOR_STOP, nullptr, into != nullptr ? *into : scratch);
  stopped_ = true;
  if (status != ZOR_OK) {
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    err_ << "tiway: warning: Stop returned " << status << ": " << StatusMeaning(status, Step::Stop)
         << "\n";
  }
}

int Runner::Info() {
  ZorDriverInfo info;
  if (!GetInfo(info)) {
    OpResult f = Failure("info", kExitDriverStatus, "GetDriverInfo failed");
    f.step = "GetDriverInfo";
    return Finish(f);
  }
  const std::string name = info.name ? info.name : "";
  const std::string banner = info.banner ? info.banner : "";
  const ZorLineSettings line = info.defaultLine;
  if (o_.json) {
    OpResult record;
    record.operation = "info";
    SetStatus(record, ZOR_OK, "success");
    nlohmann::ordered_json j = ToJson(record, render_);
    j["driver"] = host_.driverPath;
    j["driverId"] = info.driverId;
    j["name"] = name;
    j["contextSize"] = info.contextSize;
    j["infoValueA"] = info.infoValueA;
    j["infoValueB"] = info.infoValueB;
    j["defaultLine"] = {{"baud", line.baudRate},
                        {"dataBits", line.dataBits},
                        {"stopBits", StopBitsName(line.stopBits)},
                        {"parity", ParityName(line.parity)}};
    j["banner"] = Cp437ToUtf8(banner);
    out_ << j.dump() << "\n";
    return kExitOk;
  }
  out_ << "driver        " << name << " (driver id " << info.driverId << ")\n"
       << "library       " << host_.driverPath << "\n"
       << "context size  " << info.contextSize << " bytes per instance\n"
       << "default line  " << line.baudRate << " baud, " << line.dataBits << " data bits, "
       << StopBitsName(line.stopBits) << " stop bit" << (line.stopBits == 0 ? "" : "s")
       << ", parity " << ParityName(line.parity) << "\n"
       << "info values   " << info.infoValueA << ", " << info.infoValueB << "\n";
  // The banner's box characters are code page 437: converted for a UTF-8
  // terminal or pipe (the locale says so), raw only when asked.
  const bool convert = !o_.raw && (o_.utf8 || host_.utf8Stdout);
  out_ << (convert ? Cp437ToUtf8(banner) : banner) << std::flush;
  return kExitOk;
}

int Runner::Transfer() {
  // Every point is checked first, with the driver's rules, so that a bad
  // point is named before the 10-second adapter configuration.
  std::vector<PointPlan> plans;
  OpResult failure;
  if (!Plan(plans, failure)) return Finish(failure);
  if (o_.command == "write" && plans.size() != 1) {
    OpResult f = Failure("write", kExitUsage, "write takes one POINT");
    return Finish(f);
  }
  std::vector<uint32_t> values;
  std::string notes;  // how F values were taken, for the confirmation
  std::vector<std::string> rawBits;
  const ValueRules rules{o_.rawBits, o_.allowNonFinite};
  for (const std::string& text : o_.values) {
    ParsedValue value;
    if (std::optional<std::string> problem = ParseValue(plans[0].kind, text, value, rules)) {
      OpResult f =
          Failure("plan", kExitBadPoint, "bad value for " + plans[0].spec.text + ": " + *problem);
      f.point = plans[0].spec.text;
      f.count = plans[0].spec.count;
      return Finish(f);
    }
    if (value.rawBits) rawBits.push_back(HexValue(PointKind::FValue, value.bits));
    if (!value.note.empty()) notes += "; " + value.note;
    values.push_back(value.bits);
  }
  if (!rawBits.empty()) {
    std::string list;
    for (size_t i = 0; i < rawBits.size() && i < 4; ++i) list += (i ? ", " : "") + rawBits[i];
    if (rawBits.size() > 4) list += ", ...";
    notes = "; as raw bits, not numbers: " + list + notes;
  }
  // A warning the user should see before the ten-second start-up.
  for (const PointPlan& plan : plans) {
    if (plan.warning.empty() || o_.json) continue;
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    err_ << "tiway: warning: " << plan.warning << "\n" << std::flush;
  }
  if (IsDummyPort(o_.port)) {
    OpResult f = Failure("start", kExitPortFailed,
                         "port " + o_.port +
                             " is the driver's dummy port: it opens but never answers, so "
                             "nothing can be read or written on it; name a serial device "
                             "(such as /dev/ttyS0, COM1 or the pseudo-terminal of tiway-sim)");
    return Finish(f);
  }
  if (Interrupted()) {
    OpResult f = Failure("start", kExitInterrupted, "interrupted before start-up: nothing sent");
    f.interrupted = true;
    return Finish(f);
  }

  ZorDriverInfo info;
  if (!GetInfo(info)) {
    OpResult f = Failure("start", kExitDriverStatus, "GetDriverInfo failed");
    f.step = "GetDriverInfo";
    return Finish(f);
  }
  context_ = &instance_.Context();  // contextSize bytes, zeroed

  ZorColdStartParams params{};
  std::memcpy(params.portName, o_.port.c_str(), o_.port.size() + 1);  // at most 11 + NUL
  params.enabled = 1;
  params.readTimeout = o_.timeout;
  params.line = info.defaultLine;
  if (o_.baud) params.line.baudRate = *o_.baud;
  if (o_.dataBits) params.line.dataBits = *o_.dataBits;
  if (o_.stopBits) params.line.stopBits = *o_.stopBits;
  if (o_.parity) params.line.parity = *o_.parity;
  line_ = params.line;

  OpResult start;
  start.operation = "start";
  const auto startedAt = Clock::now();
  zortw_host::Result coldStart = ColdStartWithProgress(params);
  const int32_t started = coldStart.status;
  stopped_ = false;
  start.log = std::move(coldStart.log);
  start.elapsedMs = MsSince(startedAt);
  SetStatus(start, started, StatusMeaning(started, Step::ColdStart));
  const std::string nothing = o_.command == "write" ? "nothing written" : "nothing read";
  if (started != ZOR_OK) {
    start.ok = false;
    start.step = "ColdStart";
    if (started == ZOR_LINE_FAILURE) {
      start.exitCode = kExitPortFailed;
      start.message =
          "cannot open port " + o_.port + ": " + host_.diagnosePort(o_.port, params.line);
    } else {
      start.exitCode = kExitDriverStatus;
      start.message = "ColdStart returned " + std::to_string(started) + ": " + start.meaning;
    }
    Stop(&start);
    return Finish(start);
  }
  // ColdStart succeeds even when the adapter configuration fails; its log
  // line says so.
  if (const std::optional<int32_t> adapter = zortw_host::AdapterFailure(start.log)) {
    const int32_t rc = *adapter;
    start.step = "ColdStart";
    SetStatus(start, rc, StatusMeaning(rc, Step::Adapter));
    start.message =
        "the adapter configuration failed (rc " + std::to_string(rc) + ": " + start.meaning + ")";
    if (!o_.keepGoing) {
      start.ok = false;
      start.exitCode = kExitAdapter;
      start.message += "; " + nothing + " (--keep-going goes on regardless)";
      Stop(&start);
      return Finish(start);
    }
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    if (!o_.json) err_ << "tiway: warning: " << start.message << "; going on (--keep-going)\n";
  }
  if (Interrupted()) {
    start.ok = false;
    start.interrupted = true;
    start.exitCode = kExitInterrupted;
    start.status.reset();
    start.meaning = kNoDriverStatus;
    start.message = "interrupted during start-up: " + nothing + "; port closed";
    Stop(&start);
    return Finish(start);
  }
  if (o_.json) Emit(start);
  if (o_.trace && !o_.json) {
    out_ << "  (start-up frames are not kept by the driver: run tiway-sim with --trace to see "
            "the adapter configuration and the station connect)\n";
  }

  for (PointPlan& plan : plans) {
    OpResult op;
    op.operation = "define";
    op.point = plan.spec.text;
    op.count = plan.spec.count;
    if (Interrupted()) {
      op.ok = false;
      op.interrupted = true;
      op.exitCode = kExitInterrupted;
      op.message = "interrupted before the transfers: " + nothing + "; port closed";
      Stop(&op);
      return Finish(op);
    }
    if (!Define(plan, op)) {
      Stop(&op);
      return Finish(op);
    }
  }

  int exitCode = kExitOk;
  if (o_.command == "write") {
    exitCode = Write(plans[0], values, notes);
  } else if (o_.command == "read") {
    for (size_t p = 0; p < plans.size(); ++p) {
      if (Interrupted()) {
        OpResult op = Failure("read", kExitInterrupted,
                              "interrupted: " + plans[p].spec.text + " and later not read");
        op.interrupted = true;
        exitCode = Finish(op);
        break;
      }
      OpResult op = ReadPoint(plans[p], "read");
      Emit(op);
      if (op.interrupted) {
        exitCode = kExitInterrupted;
        break;
      }
      if (!op.ok && exitCode == kExitOk) exitCode = op.exitCode;
    }
  } else {
    exitCode = Watch(plans);
  }
  Stop(nullptr);
  return exitCode;
}

int Run(const Options& options, Host& host, std::ostream& out, std::ostream& err) {
  if (!host.sleep) {
    host.sleep = [](int32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  }
  if (!host.diagnosePort) {
    host.diagnosePort = [](const std::string& port, const ZorLineSettings& line) {
      return zortw_host::DiagnosePort(port, line).text;
    };
  }
  if (!host.now) host.now = WallClock;
  if (!host.readFile) {
    host.readFile = [](const std::string& path, std::string& text) -> Problem {
      std::error_code code;
      if (std::filesystem::is_directory(path, code)) return "it is a directory, not a file";
      std::ifstream file(path, std::ios::binary);
      if (!file) return std::strerror(errno);
      std::ostringstream content;
      content << file.rdbuf();
      if (file.bad()) return std::strerror(errno);
      text = content.str();
      return std::nullopt;
    };
  }
  Runner runner(options, host, out, err);
  if (options.command == "info") return runner.Info();
  if (options.command == "plot") return runner.Plot();
  return runner.Transfer();
}

}  // namespace tiway
