#include "tools/cli/session.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <thread>

#include "base/point_records.h"
#include "tools/cli/port_diagnosis.h"
#include "tools/cli/reply_trace.h"
#include "tools/cli/result.h"

namespace tiway {

namespace {

// Whether a progress line is on the terminal (guarded by ConsoleMutex).
bool g_progressShown = false;

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string ContextText(const char* text, size_t size) {
  return std::string(text, strnlen(text, size));
}

// A point of the run, planned before the port is touched: its ranges split
// into block transfers, each checked with the driver's rules.
struct PointPlan {
  PointSpec spec;
  PointKind kind = PointKind::VWord;
  int32_t hostType = 0;
  std::vector<Chunk> chunks;
  std::vector<PointAddress> addresses;  // the driver's, one per chunk, after definition
  std::string warning;                  // the text may not mean what the user meant
};

// Watch statistics of one point.
struct PointStats {
  int64_t polls = 0;
  std::map<int32_t, int64_t> failures;  // by status
  int64_t retries = 0;
  std::vector<double> ms;
};

class Runner {
 public:
  Runner(const Options& options, Host& host, std::ostream& out, std::ostream& err)
      : o_(options), host_(host), out_(out), err_(err) {
    render_.format = o_.format;
    render_.trace = o_.trace;
  }

  int Info();
  int Transfer();
  int Plot();

 private:
  int32_t Call(int32_t command, void* params, OpResult& op) {
    ZorRequest request{context_, command, o_.instance, 0, params};
    const int32_t status = host_.zorMain(&request);
    for (std::string& line : host_.takeLog()) op.log.push_back(std::move(line));
    return status;
  }
  bool Interrupted() const { return host_.interrupted(); }
  void Emit(const OpResult& op) {
    if (o_.json) {
      out_ << ToJson(op, render_).dump() << "\n" << std::flush;
    } else {
      std::lock_guard<std::mutex> lock(ConsoleMutex());
      RenderText(op, render_, out_, err_);
    }
  }
  int Finish(OpResult& op) {
    Emit(op);
    return op.exitCode;
  }
  int32_t ColdStartWithProgress(ColdStartParams& params);
  bool GetInfo(DriverInfo& info);
  bool Plan(std::vector<PointPlan>& plans, OpResult& failure);
  bool Define(PointPlan& plan, OpResult& op);
  // One block transfer; false when it failed (op filled in).
  bool Block(int32_t command, const PointAddress& address, int32_t driverCount,
             std::vector<uint16_t>& data, OpResult& op);
  OpResult ReadPoint(const PointPlan& plan, const std::string& operation);
  int Write(PointPlan& plan, const std::vector<uint32_t>& values, const std::string& notes);
  int Watch(std::vector<PointPlan>& plans);
  void Stop(OpResult* into);
  double TimeoutMs() const { return std::max<int32_t>(o_.timeout, 100) * 10.0; }

  const Options& o_;
  Host& host_;
  std::ostream& out_;
  std::ostream& err_;
  RenderOptions render_;
  std::vector<unsigned char> contextBytes_;
  PortContext* context_ = nullptr;
  bool stopped_ = true;
  LineSettings line_{};  // the line the port was opened with
};

bool Runner::GetInfo(DriverInfo& info) {
  std::memset(&info, 0, sizeof info);
  OpResult scratch;
  return Call(kGetDriverInfo, &info, scratch) == 0 && info.contextSize > 0;
}

int32_t Runner::ColdStartWithProgress(ColdStartParams& params) {
  ZorRequest request{context_, kColdStart, o_.instance, 0, &params};
  std::atomic<bool> done{false};
  int32_t status = 0;
  std::thread worker([&] {
    status = host_.zorMain(&request);
    done = true;
  });
  const std::string what = "configuring the adapter on " + o_.port;
  bool told = false;
  auto tellInterrupted = [&] {
    if (told || !Interrupted()) return;
    told = true;
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    if (g_progressShown) err_ << "\r\033[K";
    g_progressShown = false;
    err_ << "tiway: interrupted: the start-up in progress ends first (the driver's calls "
            "cannot be interrupted; about 10 s at most); nothing will be sent after it\n"
         << std::flush;
  };
  // An adapter that is already configured answers the first request and
  // start-up ends within a fraction of a second: say nothing then. Only a
  // start-up still running after a second is the ten-second configuration.
  for (int i = 0; i < 50 && !done && !Interrupted(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (done) {
    // nothing to show
  } else if (host_.progressTerminal && !Interrupted()) {
    static constexpr char kSpin[] = {'|', '/', '-', '\\'};
    const auto start = Clock::now();
    for (int tick = 0; !done && !Interrupted(); ++tick) {
      {
        std::lock_guard<std::mutex> lock(ConsoleMutex());
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
        err_ << "\r" << kSpin[tick % 4] << " " << what << " (about 10 s): " << seconds << " s "
             << std::flush;
        g_progressShown = true;
      }
      for (int i = 0; i < 10 && !done && !Interrupted(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    if (g_progressShown) err_ << "\r\033[K" << std::flush;
    g_progressShown = false;
  } else if (!Interrupted()) {
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    err_ << "tiway: " << what << " (about 10 s)...\n" << std::flush;
  }
  while (!done) {
    tellInterrupted();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  worker.join();
  return status;
}

bool Runner::Plan(std::vector<PointPlan>& plans, OpResult& failure) {
  std::vector<PointSpec> specs = o_.points;
  if (!o_.scanList.empty()) {
    std::string text, error;
    if (std::string why = host_.readFile(o_.scanList, text); !why.empty()) {
      failure = Failure("plan", kExitUsage, o_.scanList + ": cannot read the scan list: " + why);
      return false;
    }
    std::vector<PointSpec> listed = ParseScanList(text, o_.scanList, error);
    if (!error.empty()) {
      failure = Failure("plan", kExitUsage, error);
      return false;
    }
    if (listed.empty()) {
      failure = Failure("plan", kExitUsage,
                        o_.scanList +
                            ": the scan list names no point (one POINT[:COUNT] per "
                            "line; '#' starts a comment)");
      return false;
    }
    specs.insert(specs.end(), listed.begin(), listed.end());
  }
  for (const PointSpec& spec : specs) {
    PointPlan plan;
    plan.spec = spec;
    plan.hostType = o_.hostType.value_or(DefaultHostType(spec.text));
    // The text's rules; the size of a range is the splitting's business
    // (CheckBlock only ever sees blocks that fit).
    const bool bitText = spec.text.size() == 8;
    const AddressCheck first =
        CheckAddress(spec.text, plan.hostType, spec.count > 1 && !bitText, 2);
    auto bad = [&](const std::string& why) {
      failure = Failure(
          "plan", kExitBadPoint,
          (spec.origin.empty() ? "" : spec.origin + ": ") + "bad point " + spec.text + ": " + why);
      failure.point = spec.text;
      failure.count = spec.count;
      return false;
    };
    if (!first.ok) return bad(first.reason);
    plan.kind = first.kind;
    if (plan.kind == PointKind::VBit) plan.warning = BitDigitWarning(spec.text);
    plan.chunks = SplitRange(first.address, spec.count);
    if (plan.chunks.empty()) {
      return bad(std::to_string(spec.count) + " elements from " + spec.text +
                 " run past element FFFF");
    }
    for (const Chunk& chunk : plan.chunks) {
      const AddressCheck c =
          CheckAddress(chunk.text, plan.hostType, chunk.count > 1 && plan.kind != PointKind::VBit,
                       DriverElementCount(plan.kind, chunk.count));
      if (!c.ok) return bad(chunk.text + ": " + c.reason);
    }
    plans.push_back(std::move(plan));
  }
  return true;
}

bool Runner::Define(PointPlan& plan, OpResult& op) {
  plan.addresses.clear();
  for (const Chunk& chunk : plan.chunks) {
    PointDefinition definition{};
    const bool block = chunk.count > 1 && plan.kind != PointKind::VBit;
    definition.addressText = chunk.text.c_str();
    definition.hostDataType = plan.hostType;
    definition.elementCount = DriverElementCount(plan.kind, chunk.count);
    const char* step = block ? "CheckBlock" : "DefinePoint";
    const int32_t status = Call(block ? kCheckBlock : kDefinePoint, &definition, op);
    if (status != 0) {
      op.ok = false;
      op.step = step;
      SetStatus(op, status, StatusMeaning(status, Step::Define));
      op.exitCode = status == 1 ? kExitBadPoint : kExitDriverStatus;
      op.message =
          status == 1
              ? "the driver refused the point " + chunk.text + " (" + step + " status 1)"
              : std::string(step) + " returned " + std::to_string(status) + ": " + op.meaning;
      return false;
    }
    plan.addresses.push_back(definition.address);
  }
  SetStatus(op, 0, "success");
  return true;
}

bool Runner::Block(int32_t command, const PointAddress& address, int32_t driverCount,
                   std::vector<uint16_t>& data, OpResult& op) {
  BlockRequest request{};
  request.address = address;
  request.elementCount = driverCount;
  request.data = data.data();
  const size_t logBefore = op.log.size();
  const auto start = Clock::now();
  const int32_t status = Call(command, &request, op);
  const double ms = MsSince(start);
  op.elapsedMs += ms;
  for (size_t i = logBefore; i < op.log.size(); ++i) {
    if (op.log[i].find("CheckReply()") != std::string::npos) ++op.retries;
  }
  FrameRecord frame;
  frame.step = command == kReadBlock ? "ReadBlock" : "WriteBlock";
  frame.request = ContextText(context_->requestFrame, sizeof context_->requestFrame);
  frame.reply = ContextText(context_->replyBuffer, sizeof context_->replyBuffer);
  frame.requestNote = frame.request.empty() ? "(no request)" : AnnotateRequest(frame.request);
  // Every attempt of a silent line lasts its whole reply time-out.
  const bool silent = ms >= 0.9 * 3 * TimeoutMs();
  const ReplyTrace trace = TraceReply(frame.request, frame.reply, o_.instance, silent);
  frame.replyNote = trace.note;
  frame.replyStatus = trace.status;
  frame.logLine = trace.logLine;
  // Frames whose line time is a large part of the reply time-out: the user
  // is told, with --timeout. A reception that then ended early without a
  // reply is not put down to stray bytes: the time-out may have ended it
  // while the frames were still on the line.
  const std::string lineTime =
      status == 0 ? std::string() : LineTimeAdvice(frame.request, line_, TimeoutMs());
  if (!lineTime.empty() && frame.reply.empty() && !silent) {
    frame.replyNote =
        "no reply kept: reception ended before any ':', with frames long for the time-out";
  }
  op.frames.push_back(frame);
  if (status == 0) {
    SetStatus(op, 0, "success");
    return true;
  }
  // The last attempt's refusal was logged too, but it was not retried.
  if (op.retries > 0 && !trace.logLine.empty()) --op.retries;
  op.ok = false;
  op.step = frame.step;
  if (status == 2 && frame.reply.empty() && silent) {
    SetStatus(op, status, kNoReplyAdvice);
  } else if (status == 2) {
    SetStatus(op, status, "line failure: " + frame.replyNote);
  } else if (status == kReplyInvalid) {
    SetStatus(op, status, "invalid reply: " + frame.replyNote);
  } else {
    SetStatus(op, status, StatusMeaning(status, Step::Block));
  }
  op.exitCode = kExitTransfer;
  const std::string what = command == kReadBlock ? "read" : "write";
  op.message = what + " of " + op.point + " failed: status " + std::to_string(status) + ": " +
               op.meaning + (lineTime.empty() ? "" : "; " + lineTime);
  return false;
}

OpResult Runner::ReadPoint(const PointPlan& plan, const std::string& operation) {
  OpResult op;
  op.operation = operation;
  op.point = plan.spec.text;
  op.count = plan.spec.count;
  op.kind = plan.kind;
  for (size_t i = 0; i < plan.chunks.size(); ++i) {
    const Chunk& chunk = plan.chunks[i];
    if (i > 0 && Interrupted()) {
      op.ok = false;
      op.interrupted = true;
      op.exitCode = kExitInterrupted;
      op.status.reset();
      op.meaning = kNoDriverStatus;
      op.step.clear();
      op.message = "interrupted after reading " + std::to_string(chunk.offset) + " of " +
                   std::to_string(plan.spec.count) + " elements; " + chunk.text +
                   " and later were not read";
      return op;
    }
    const int32_t driverCount = DriverElementCount(plan.kind, chunk.count);
    std::vector<uint16_t> data(ArrayWords(driverCount), 0);
    if (!Block(kReadBlock, plan.addresses[i], driverCount, data, op)) return op;
    std::vector<uint32_t> values = ValuesFromReadArray(plan.addresses[i], driverCount, data);
    for (size_t k = 0; k < values.size(); ++k) {
      op.values.push_back({ElementText(plan.addresses[i], static_cast<int>(k)), values[k]});
    }
  }
  op.message = plan.warning;
  return op;
}

int Runner::Write(PointPlan& plan, const std::vector<uint32_t>& values, const std::string& notes) {
  // The values before the write, for the record ("was ..."); a failure here
  // does not stop the write.
  OpResult before = ReadPoint(plan, "read");
  OpResult op;
  op.operation = "write";
  op.point = plan.spec.text;
  op.count = plan.spec.count;
  op.kind = plan.kind;
  op.log = before.log;
  op.frames = before.frames;
  op.retries = before.retries;
  op.elapsedMs = before.elapsedMs;
  op.status = before.status;
  op.meaning = before.meaning;
  if (before.ok) op.previous = before.values;
  if (!before.ok && !before.interrupted && !Interrupted()) {
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    if (!o_.json)
      err_ << "tiway: warning: the values before the write are unknown: " << before.message << "\n";
  }
  for (size_t i = 0; i < plan.chunks.size(); ++i) {
    const Chunk& chunk = plan.chunks[i];
    if (Interrupted()) {
      op.ok = false;
      op.interrupted = true;
      op.exitCode = kExitInterrupted;
      op.status.reset();
      op.meaning = kNoDriverStatus;
      op.message = i == 0 ? "interrupted before the write: nothing written"
                          : "interrupted after writing " + std::to_string(chunk.offset) + " of " +
                                std::to_string(plan.spec.count) + " elements; from " + chunk.text +
                                " on nothing was written";
      return Finish(op);
    }
    const std::vector<uint32_t> part(values.begin() + chunk.offset,
                                     values.begin() + chunk.offset + chunk.count);
    std::vector<uint16_t> data = WriteArrayFromValues(plan.addresses[i], part);
    if (!Block(kWriteBlock, plan.addresses[i], DriverElementCount(plan.kind, chunk.count), data,
               op)) {
      if (i > 0) {
        op.message += " (the first " + std::to_string(chunk.offset) + " elements were written)";
      }
      return Finish(op);
    }
    for (size_t k = 0; k < part.size(); ++k) {
      op.values.push_back({ElementText(plan.addresses[i], static_cast<int>(k)), part[k]});
    }
  }
  op.message = "wrote " + std::to_string(op.values.size()) +
               (op.values.size() == 1 ? " element" : " elements") + " from " + plan.spec.text +
               notes;
  if (!plan.warning.empty()) op.message += " (" + plan.warning + ")";
  return Finish(op);
}

std::string CsvValue(PointKind kind, uint32_t value) {
  if (kind == PointKind::FValue) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", FloatOf(value));
    return text;
  }
  return std::to_string(value);
}

int Runner::Watch(std::vector<PointPlan>& plans) {
  std::ofstream csv;
  if (!o_.csvFile.empty()) {
    std::ifstream existing(o_.csvFile);
    const bool fresh = !existing.good() || existing.peek() == std::ifstream::traits_type::eof();
    csv.open(o_.csvFile, std::ios::app);
    if (!csv) {
      OpResult f = Failure("watch", kExitUsage, "cannot write the CSV file " + o_.csvFile);
      return Finish(f);
    }
    if (fresh) csv << "time,point,value,status\n";
  }
  std::vector<PointStats> stats(plans.size());
  std::vector<std::vector<uint32_t>> last(plans.size());
  std::vector<int32_t> lastStatus(plans.size(), -1000);
  int exitCode = kExitOk;
  bool interrupted = false;
  for (int64_t poll = 1; o_.polls == 0 || poll <= o_.polls; ++poll) {
    for (size_t p = 0; p < plans.size(); ++p) {
      if (Interrupted()) {
        interrupted = true;
        break;
      }
      OpResult op = ReadPoint(plans[p], "poll");
      op.poll = poll;
      op.time = host_.now();
      if (op.interrupted) {
        interrupted = true;
        break;
      }
      PointStats& s = stats[p];
      ++s.polls;
      s.retries += op.retries;
      s.ms.push_back(op.elapsedMs);
      if (!op.ok) {
        const int32_t status = op.status.value_or(-1);
        ++s.failures[status];
        exitCode = kExitTransfer;
        if (csv) csv << op.time << "," << op.point << ",," << status << "\n";
      } else if (csv) {
        for (const Element& e : op.values) {
          csv << op.time << "," << e.point << "," << CsvValue(op.kind, e.value) << ",0\n";
        }
      }
      bool show = o_.trace;
      if (op.ok) {
        op.changed.assign(op.values.size(), true);
        for (size_t k = 0; k < op.values.size() && k < last[p].size() && lastStatus[p] == 0; ++k) {
          op.changed[k] = op.values[k].value != last[p][k];
        }
        show = show || std::find(op.changed.begin(), op.changed.end(), true) != op.changed.end();
        last[p].clear();
        for (const Element& e : op.values) last[p].push_back(e.value);
      } else {
        show = show || op.status.value_or(-1) != lastStatus[p];
      }
      lastStatus[p] = op.ok ? 0 : op.status.value_or(-1);
      if (show) Emit(op);
    }
    if (csv) csv.flush();
    if (interrupted || (o_.polls != 0 && poll == o_.polls)) break;
    for (int32_t waited = 0; waited < o_.intervalMs && !Interrupted(); waited += 50) {
      host_.sleep(std::min<int32_t>(50, o_.intervalMs - waited));
    }
    if (Interrupted()) {
      interrupted = true;
      break;
    }
  }
  // Statistics per point.
  for (size_t p = 0; p < plans.size(); ++p) {
    const PointStats& s = stats[p];
    std::vector<double> ms = s.ms;
    std::sort(ms.begin(), ms.end());
    double mean = 0;
    for (double v : ms) mean += v;
    if (!ms.empty()) mean /= static_cast<double>(ms.size());
    auto at = [&ms](double q) {
      if (ms.empty()) return 0.0;
      const size_t index =
          static_cast<size_t>(std::ceil(q * static_cast<double>(ms.size()))) - (q > 0 ? 1 : 0);
      return ms[std::min(index, ms.size() - 1)];
    };
    int64_t failed = 0;
    for (const auto& [status, n] : s.failures) failed += n;
    if (o_.json) {
      OpResult record;
      record.operation = "stats";
      record.point = plans[p].spec.text;
      record.count = plans[p].spec.count;
      record.ok = failed == 0;
      record.exitCode = interrupted ? kExitInterrupted : exitCode;
      record.interrupted = interrupted;
      record.retries = static_cast<int>(s.retries);
      for (double v : ms) record.elapsedMs += v;
      nlohmann::ordered_json j = ToJson(record, render_);
      j["polls"] = s.polls;
      j["failed"] = failed;
      nlohmann::ordered_json byStatus = nlohmann::ordered_json::object();
      for (const auto& [status, n] : s.failures) byStatus[std::to_string(status)] = n;
      j["failures"] = byStatus;
      j["responseMs"] = {{"min", ms.empty() ? 0.0 : ms.front()},
                         {"mean", mean},
                         {"p99", at(0.99)},
                         {"max", ms.empty() ? 0.0 : ms.back()}};
      out_ << j.dump() << "\n";
    } else {
      char line[256];
      std::snprintf(line, sizeof line,
                    "%-10s polls %lld, failed %lld, retries seen %lld, response ms min %.1f mean "
                    "%.1f p99 %.1f max %.1f",
                    plans[p].spec.text.c_str(), static_cast<long long>(s.polls),
                    static_cast<long long>(failed), static_cast<long long>(s.retries),
                    ms.empty() ? 0.0 : ms.front(), mean, at(0.99), ms.empty() ? 0.0 : ms.back());
      out_ << line;
      for (const auto& [status, n] : s.failures) {
        out_ << "; status " << status << ": " << n;
      }
      out_ << "\n";
    }
  }
  out_ << std::flush;
  if (interrupted) {
    if (!o_.json) {
      std::lock_guard<std::mutex> lock(ConsoleMutex());
      err_ << "tiway: interrupted: watch ended; nothing was written\n";
    }
    return kExitInterrupted;
  }
  return exitCode;
}

void Runner::Stop(OpResult* into) {
  if (context_ == nullptr || stopped_) return;
  OpResult scratch;
  const int32_t status = Call(kStop, nullptr, into != nullptr ? *into : scratch);
  stopped_ = true;
  if (status != 0) {
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    err_ << "tiway: warning: Stop returned " << status << ": " << StatusMeaning(status, Step::Stop)
         << "\n";
  }
}

int Runner::Info() {
  DriverInfo info;
  if (!GetInfo(info)) {
    OpResult f = Failure("info", kExitDriverStatus, "GetDriverInfo failed");
    f.step = "GetDriverInfo";
    return Finish(f);
  }
  const std::string name = info.name ? info.name : "";
  const std::string banner = info.banner ? info.banner : "";
  const LineSettings line = info.defaultLine;
  if (o_.json) {
    OpResult record;
    record.operation = "info";
    SetStatus(record, 0, "success");
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

  DriverInfo info;
  if (!GetInfo(info)) {
    OpResult f = Failure("start", kExitDriverStatus, "GetDriverInfo failed");
    f.step = "GetDriverInfo";
    return Finish(f);
  }
  contextBytes_.assign(std::max<size_t>(static_cast<size_t>(info.contextSize), sizeof(PortContext)),
                       0);
  context_ = reinterpret_cast<PortContext*>(contextBytes_.data());

  ColdStartParams params{};
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
  const int32_t started = ColdStartWithProgress(params);
  stopped_ = false;
  for (std::string& line : host_.takeLog()) start.log.push_back(std::move(line));
  start.elapsedMs = MsSince(startedAt);
  SetStatus(start, started, StatusMeaning(started, Step::ColdStart));
  const std::string nothing = o_.command == "write" ? "nothing written" : "nothing read";
  if (started != 0) {
    start.ok = false;
    start.step = "ColdStart";
    if (started == 2) {
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
  for (const std::string& line : start.log) {
    const size_t at = line.find("ColdStart(): Fail rc = ");
    if (at == std::string::npos) continue;
    const int32_t rc = std::atoi(line.c_str() + at + 23);
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

}  // namespace

std::string PlotScript(const std::vector<std::string>& points,
                       const std::map<std::string, std::string>& blocks, const std::string& title,
                       const std::string& png) {
  // Discretes and single bits (0 or 1) are steps on an axis of their own, so
  // that words in the thousands do not flatten them.
  auto isBit = [](const std::string& point) {
    const AddressCheck check = CheckAddress(point, DefaultHostType(point), false, 1);
    return check.ok && (check.kind == PointKind::Discrete || check.kind == PointKind::VBit);
  };
  bool anyBit = false, anyValue = false;
  for (const std::string& point : points) (isBit(point) ? anyBit : anyValue) = true;
  std::string script;
  for (size_t i = 0; i < points.size(); ++i) {
    script += "$p" + std::to_string(i) + " << EOD\n" + blocks.at(points[i]) + "EOD\n";
  }
  script += "set terminal pngcairo size 1000,600\nset output '" + png +
            "'\nset xdata time\nset timefmt '%Y-%m-%dT%H:%M:%S'\nset format x '%H:%M:%S'\n"
            "set xtics rotate by 30 right\nset key outside right\nset grid\nset title '" +
            title + "'\nset xlabel 'time'\n";
  if (anyValue) script += "set ylabel 'value'\n";
  if (anyBit) {
    const std::string axis = anyValue ? "y2" : "y";
    script += "set " + axis + "range [-0.2:1.2]\nset " + axis + "tics 0,1,1\nset " + axis +
              "label 'bit'\n";
    if (anyValue) script += "set ytics nomirror\n";
  }
  script += "plot ";
  for (size_t i = 0; i < points.size(); ++i) {
    const bool bit = isBit(points[i]);
    script += (i ? ", " : "") + std::string("$p") + std::to_string(i) + " using 1:2 with " +
              (bit ? std::string("steps") + (anyValue ? " axes x1y2" : "") : "linespoints") +
              " title '" + points[i] + "'";
  }
  return script + "\n";
}

namespace {

int Runner::Plot() {
  std::string text;
  if (std::string why = host_.readFile(o_.plotInput, text); !why.empty()) {
    OpResult f = Failure("plot", kExitUsage, o_.plotInput + ": cannot read the CSV: " + why);
    return Finish(f);
  }
  // The good samples of each point, in the order the points first appear;
  // each becomes a data block of its own, so that its line is unbroken.
  std::vector<std::string> points;
  std::map<std::string, std::string> blocks;
  std::istringstream lines(text);
  std::string line;
  size_t samples = 0;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t a = line.find(',');
    const size_t b = a == std::string::npos ? a : line.find(',', a + 1);
    const size_t c = b == std::string::npos ? b : line.find(',', b + 1);
    if (c == std::string::npos || line.rfind("time,", 0) == 0) continue;
    if (line.substr(c + 1) != "0" || c == b + 1) continue;  // a failed poll has no value
    const std::string point = line.substr(a + 1, b - a - 1);
    if (blocks.find(point) == blocks.end()) points.push_back(point);
    blocks[point] += line.substr(0, a) + " " + line.substr(b + 1, c - b - 1) + "\n";
    ++samples;
  }
  if (points.empty()) {
    OpResult f =
        Failure("plot", kExitUsage, o_.plotInput + " holds no samples (time,point,value,status)");
    return Finish(f);
  }
  const std::string script = PlotScript(points, blocks, o_.plotInput, o_.plotOutput);
  FILE* gnuplot = popen("gnuplot", "w");
  if (gnuplot == nullptr) {
    OpResult f = Failure("plot", kExitUsage, "cannot run gnuplot (install gnuplot-nox)");
    return Finish(f);
  }
  std::fwrite(script.data(), 1, script.size(), gnuplot);
  const int status = pclose(gnuplot);
  if (status != 0) {
    OpResult f =
        Failure("plot", kExitUsage, "gnuplot failed (status " + std::to_string(status) + ")");
    return Finish(f);
  }
  if (o_.json) {
    OpResult record;
    record.operation = "plot";
    record.message = "wrote " + o_.plotOutput;
    nlohmann::ordered_json j = ToJson(record, render_);
    j["png"] = o_.plotOutput;
    j["points"] = points;
    j["samples"] = samples;
    out_ << j.dump() << "\n";
  } else {
    out_ << "wrote " << o_.plotOutput << ": " << points.size() << " points, " << samples
         << " samples\n";
  }
  return kExitOk;
}

std::string WallClock() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03d", text, static_cast<int>(ms));
  return out;
}

}  // namespace

std::mutex& ConsoleMutex() {
  static std::mutex mutex;
  return mutex;
}

void EchoDriverLine(std::ostream& err, const std::string& line) {
  std::lock_guard<std::mutex> lock(ConsoleMutex());
  if (g_progressShown) err << "\r\033[K";
  err << "driver: " << line << "\n" << std::flush;
}

int Run(const Options& options, Host& host, std::ostream& out, std::ostream& err) {
  if (!host.sleep) {
    host.sleep = [](int32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  }
  if (!host.diagnosePort) {
    host.diagnosePort = [](const std::string& port, const LineSettings& line) {
      return DiagnosePort(port, line).text;
    };
  }
  if (!host.now) host.now = WallClock;
  if (!host.readFile) {
    host.readFile = [](const std::string& path, std::string& text) -> std::string {
      std::error_code code;
      if (std::filesystem::is_directory(path, code)) return "it is a directory, not a file";
      std::ifstream file(path, std::ios::binary);
      if (!file) return std::strerror(errno);
      std::ostringstream content;
      content << file.rdbuf();
      if (file.bad()) return std::strerror(errno);
      text = content.str();
      return "";
    };
  }
  Runner runner(options, host, out, err);
  if (options.command == "info") return runner.Info();
  if (options.command == "plot") return runner.Plot();
  return runner.Transfer();
}

}  // namespace tiway
