#include "tools/cli/session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ostream>
#include <sstream>
#include <thread>

#include "base/point_records.h"
#include "base/port_settings.h"
#include "tools/cli/cli_text.h"

namespace tiway {

namespace {

// Whether a progress line is on the terminal (guarded by ConsoleMutex).
bool g_progressShown = false;

std::string J(std::string_view text) {
  return JsonString(text);
}

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out + "]";
}

// A failure of the run: what the user is told and the exit code.
struct Failure {
  int exitCode = kExitOk;
  std::string step;     // the driver command, or empty for the CLI's own checks
  int32_t status = 0;   // the driver's status, when step is set
  std::string message;  // what went wrong, in words
};

class Runner {
 public:
  Runner(const Options& options, Host& host, std::ostream& out, std::ostream& err)
      : o_(options), host_(host), out_(out), err_(err) {}

  int Info();
  int Transfer();

 private:
  int32_t Call(int32_t command, void* params, PortContext* context) {
    ZorRequest request{context, command, o_.instance, 0, params};
    int32_t status = host_.zorMain(&request);
    CollectLog();
    return status;
  }
  void CollectLog() {
    for (std::string& line : host_.takeLog()) log_.push_back(std::move(line));
  }
  int32_t ColdStartWithProgress(ColdStartParams& params);
  bool GetInfo(DriverInfo& info);
  int Fail(const Failure& failure);
  void Trace(const char* step, const PortContext& context, PointKind kind);
  bool Define(const AddressCheck& check, int32_t elementCount, PointAddress& address);
  int32_t Read(const PointAddress& address, int32_t elementCount, std::vector<uint32_t>& values);
  void Stop();
  void PrintValues(const PointAddress& address, const std::vector<uint32_t>& values,
                   const std::vector<bool>* changed, double elapsed, int64_t poll);

  const Options& o_;
  Host& host_;
  std::ostream& out_;
  std::ostream& err_;
  std::vector<std::string> log_;
  std::vector<std::string> frames_;  // JSON objects
  std::vector<unsigned char> contextBytes_;
  PortContext* context_ = nullptr;
  size_t logShown_ = 0;  // log lines already put into a JSON object
};

bool Runner::GetInfo(DriverInfo& info) {
  std::memset(&info, 0, sizeof info);
  return Call(kGetDriverInfo, &info, nullptr) == 0 && info.contextSize > 0;
}

int Runner::Fail(const Failure& f) {
  if (o_.json) {
    out_ << "{\"command\":" << J(o_.command) << ",\"ok\":false,\"exitCode\":" << f.exitCode
         << ",\"error\":" << J(f.message);
    if (!f.step.empty()) {
      const Step step = f.step == "ColdStart"                               ? Step::ColdStart
                        : f.step == "DefinePoint" || f.step == "CheckBlock" ? Step::Define
                        : f.step == "GetDriverInfo"                         ? Step::GetDriverInfo
                                                                            : Step::Block;
      out_ << ",\"step\":" << J(f.step) << ",\"status\":" << f.status
           << ",\"meaning\":" << J(StatusMeaning(f.status, step));
    }
    out_ << ",\"log\":" << JsonArray([this] {
      std::vector<std::string> lines;
      for (const std::string& l : log_) lines.push_back(J(l));
      return lines;
    }())
         << ",\"frames\":" << JsonArray(frames_) << "}\n";
  } else {
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    err_ << "tiway: " << f.message << "\n";
  }
  return f.exitCode;
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
  // An adapter that is already configured answers the first request and
  // start-up ends within a fraction of a second: say nothing then. Only a
  // start-up still running after a second is the ten-second configuration.
  for (int i = 0; i < 50 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (done) {
    // nothing to show
  } else if (host_.progressTerminal) {
    static constexpr char kSpin[] = {'|', '/', '-', '\\'};
    auto start = std::chrono::steady_clock::now();
    for (int tick = 0; !done; ++tick) {
      {
        std::lock_guard<std::mutex> lock(ConsoleMutex());
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
        err_ << "\r" << kSpin[tick % 4] << " " << what << " (about 10 s): " << seconds << " s "
             << std::flush;
        g_progressShown = true;
      }
      for (int i = 0; i < 10 && !done; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    err_ << "\r\033[K" << std::flush;
    g_progressShown = false;
  } else {
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    err_ << "tiway: " << what << " (about 10 s)...\n" << std::flush;
  }
  worker.join();
  CollectLog();
  return status;
}

void Runner::Trace(const char* step, const PortContext& context, PointKind kind) {
  if (!o_.trace) return;
  const std::string request(context.requestFrame,
                            strnlen(context.requestFrame, sizeof context.requestFrame));
  const std::string reply(context.replyBuffer,
                          strnlen(context.replyBuffer, sizeof context.replyBuffer));
  const std::string requestNote = AnnotateRequest(request);
  const std::string replyNote = AnnotateReply(reply, CharsPerElement(kind));
  if (o_.json) {
    frames_.push_back("{\"step\":" + J(step) + ",\"request\":" + J(request) +
                      ",\"requestNote\":" + J(requestNote) + ",\"reply\":" + J(reply) +
                      ",\"replyNote\":" + J(replyNote) + "}");
    return;
  }
  out_ << "  -> " << (request.empty() ? "(none)" : request) << "\n     " << requestNote << "\n"
       << "  <- " << (reply.empty() ? "(none)" : reply) << "\n     " << replyNote << "\n";
}

bool Runner::Define(const AddressCheck& check, int32_t elementCount, PointAddress& address) {
  PointDefinition definition{};
  const bool block = o_.count > 1;
  definition.addressText = o_.point.c_str();
  definition.hostDataType = o_.hostType.value_or(DefaultHostType(o_.point));
  definition.elementCount = elementCount;
  const char* step = block ? "CheckBlock" : "DefinePoint";
  int32_t status = Call(block ? kCheckBlock : kDefinePoint, &definition, context_);
  if (status == 0) {
    address = definition.address;
    return true;
  }
  Failure f;
  f.step = step;
  f.status = status;
  if (status == 1) {
    f.exitCode = kExitBadPoint;
    f.message = "the driver refused the point " + o_.point + " (" + step + " status 1)" +
                (check.ok ? "" : ": " + check.reason);
  } else {
    f.exitCode = kExitDriverStatus;
    f.message = std::string(step) + " returned " + std::to_string(status) + ": " +
                StatusMeaning(status, Step::Define);
  }
  Stop();
  Fail(f);
  return false;
}

int32_t Runner::Read(const PointAddress& address, int32_t elementCount,
                     std::vector<uint32_t>& values) {
  std::vector<uint16_t> data(ArrayWords(elementCount), 0);
  BlockRequest request{};
  request.address = address;
  request.elementCount = elementCount;
  request.data = data.data();
  int32_t status = Call(kReadBlock, &request, context_);
  Trace("ReadBlock", *context_, KindOf(address));
  if (status == 0) values = ValuesFromReadArray(address, elementCount, data);
  return status;
}

void Runner::Stop() {
  if (context_ == nullptr) return;
  int32_t status = Call(kStop, nullptr, context_);
  if (status != 0) {
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    err_ << "tiway: warning: Stop returned " << status << ": " << StatusMeaning(status, Step::Stop)
         << "\n";
  }
  context_ = nullptr;
}

void Runner::PrintValues(const PointAddress& address, const std::vector<uint32_t>& values,
                         const std::vector<bool>* changed, double elapsed, int64_t poll) {
  const PointKind kind = KindOf(address);
  if (o_.json) {
    std::vector<std::string> items;
    for (size_t k = 0; k < values.size(); ++k) {
      if (changed && !(*changed)[k]) continue;
      items.push_back("{\"point\":" + J(ElementText(address, static_cast<int>(k))) + ",\"value\":" +
                      std::to_string(values[k]) + ",\"hex\":" + J(HexValue(kind, values[k])) + "}");
    }
    std::vector<std::string> lines;
    for (size_t i = logShown_; i < log_.size(); ++i) lines.push_back(J(log_[i]));
    logShown_ = log_.size();
    out_ << "{\"command\":" << J(o_.command) << ",\"ok\":true,\"point\":" << J(o_.point);
    if (changed)
      out_ << ",\"poll\":" << poll << ",\"elapsedMs\":" << static_cast<int64_t>(elapsed * 1000);
    out_ << ",\"values\":" << JsonArray(items) << ",\"log\":" << JsonArray(lines)
         << ",\"frames\":" << JsonArray(frames_) << "}\n"
         << std::flush;
    frames_.clear();
    return;
  }
  for (size_t k = 0; k < values.size(); ++k) {
    if (changed && !(*changed)[k]) continue;
    if (changed) {
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "[%8.1f s] ", elapsed);
      out_ << stamp;
    }
    std::string text = ElementText(address, static_cast<int>(k));
    text.resize(std::max<size_t>(text.size(), 9), ' ');
    out_ << text << " " << FormatValue(kind, values[k]) << "\n";
  }
  out_ << std::flush;
}

int Runner::Info() {
  DriverInfo info;
  if (!GetInfo(info)) {
    return Fail({kExitDriverStatus, "GetDriverInfo", 0, "GetDriverInfo failed"});
  }
  const std::string name = info.name ? info.name : "";
  const std::string banner = info.banner ? info.banner : "";
  const LineSettings line = info.defaultLine;
  if (o_.json) {
    out_ << "{\"command\":\"info\",\"ok\":true,\"driver\":" << J(host_.driverPath)
         << ",\"driverId\":" << info.driverId << ",\"name\":" << J(name)
         << ",\"contextSize\":" << info.contextSize << ",\"infoValueA\":" << info.infoValueA
         << ",\"infoValueB\":" << info.infoValueB << ",\"defaultLine\":{\"baud\":" << line.baudRate
         << ",\"dataBits\":" << line.dataBits << ",\"stopBits\":" << line.stopBits
         << ",\"parity\":" << J(ParityName(line.parity))
         << "},\"banner\":" << J(Cp437ToUtf8(banner)) << "}\n";
    return kExitOk;
  }
  out_ << "driver        " << name << " (driver id " << info.driverId << ")\n"
       << "library       " << host_.driverPath << "\n"
       << "context size  " << info.contextSize << " bytes per instance\n"
       << "default line  " << line.baudRate << " baud, " << line.dataBits
       << " data bits, stop-bit code " << line.stopBits << ", parity " << ParityName(line.parity)
       << "\n"
       << "info values   " << info.infoValueA << ", " << info.infoValueB << "\n";
  const bool convert = !o_.raw && (o_.utf8 || host_.utf8Stdout);
  out_ << (convert ? Cp437ToUtf8(banner) : banner) << std::flush;
  return kExitOk;
}

int Runner::Transfer() {
  // The CLI checks the address text first, with the driver's rules, so that a
  // bad point is named before the 10-second adapter configuration.
  const bool block = o_.count > 1;
  const bool fText = o_.point.size() > 2 && (o_.point[2] == 'F' || o_.point[2] == 'f');
  const int32_t elementCount = fText ? o_.count * 2 : o_.count;
  const int32_t hostType = o_.hostType.value_or(DefaultHostType(o_.point));
  const AddressCheck check = CheckAddress(o_.point, hostType, block, elementCount);
  if (!check.ok) {
    return Fail({kExitBadPoint, "", 0, "bad point " + o_.point + ": " + check.reason});
  }
  std::vector<uint32_t> values;
  for (const std::string& text : o_.values) {
    uint32_t value = 0;
    if (std::optional<std::string> problem = ParseValue(check.kind, text, value)) {
      return Fail({kExitBadPoint, "", 0, "bad value for " + o_.point + ": " + *problem});
    }
    values.push_back(value);
  }

  DriverInfo info;
  if (!GetInfo(info)) {
    return Fail({kExitDriverStatus, "GetDriverInfo", 0, "GetDriverInfo failed"});
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
  const int32_t started = ColdStartWithProgress(params);
  if (started != 0) {
    Failure f{kExitDriverStatus, "ColdStart", started, ""};
    if (started == 2) {
      f.exitCode = kExitPortFailed;
      f.message = "cannot open port " + o_.port;
    } else {
      f.message = "ColdStart returned " + std::to_string(started) + ": " +
                  StatusMeaning(started, Step::ColdStart);
    }
    Stop();
    return Fail(f);
  }
  // ColdStart succeeds even when the adapter configuration fails; its log
  // line says so.
  for (const std::string& line : log_) {
    size_t at = line.find("ColdStart(): Fail rc = ");
    if (at == std::string::npos) continue;
    int32_t rc = std::atoi(line.c_str() + at + 23);
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    err_ << "tiway: warning: the adapter configuration failed (rc " << rc << ": "
         << StatusMeaning(rc, Step::Adapter) << "); going on\n";
  }
  if (o_.trace && !o_.json) {
    out_ << "  (start-up frames are not kept by the driver: run tiway-sim with --trace to see "
            "the adapter configuration and the station connect)\n";
  }

  PointAddress address{};
  if (!Define(check, elementCount, address)) return kExitBadPoint;
  const PointKind kind = KindOf(address);

  if (o_.command == "write") {
    std::vector<uint16_t> data = WriteArrayFromValues(address, values);
    BlockRequest request{};
    request.address = address;
    request.elementCount = elementCount;
    request.data = data.data();
    int32_t status = Call(kWriteBlock, &request, context_);
    Trace("WriteBlock", *context_, kind);
    Stop();
    if (status != 0) {
      return Fail({kExitTransfer, "WriteBlock", status,
                   "write of " + o_.point + " failed: status " + std::to_string(status) + ": " +
                       StatusMeaning(status, Step::Block)});
    }
    if (o_.json) {
      PrintValues(address, values, nullptr, 0, 0);
    } else {
      out_ << "wrote " << values.size() << (values.size() == 1 ? " element" : " elements")
           << " from " << ElementText(address, 0) << "\n";
      PrintValues(address, values, nullptr, 0, 0);
    }
    return kExitOk;
  }

  if (o_.command == "read") {
    std::vector<uint32_t> read;
    int32_t status = Read(address, elementCount, read);
    Stop();
    if (status != 0) {
      return Fail({kExitTransfer, "ReadBlock", status,
                   "read of " + o_.point + " failed: status " + std::to_string(status) + ": " +
                       StatusMeaning(status, Step::Block)});
    }
    PrintValues(address, read, nullptr, 0, 0);
    return kExitOk;
  }

  // watch: the first good poll shows every element, later ones the changes.
  int exitCode = kExitOk;
  std::vector<uint32_t> last;
  int32_t lastStatus = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int64_t poll = 1; o_.polls == 0 || poll <= o_.polls; ++poll) {
    if (host_.interrupted()) break;
    std::vector<uint32_t> now;
    int32_t status = Read(address, elementCount, now);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status != 0) {
      exitCode = kExitTransfer;
      if (status != lastStatus) {
        const std::string message = "read of " + o_.point + " failed: status " +
                                    std::to_string(status) + ": " +
                                    StatusMeaning(status, Step::Block);
        if (o_.json) {
          out_ << "{\"command\":\"watch\",\"ok\":false,\"poll\":" << poll
               << ",\"step\":\"ReadBlock\",\"status\":" << status << ",\"error\":" << J(message)
               << ",\"frames\":" << JsonArray(frames_) << "}\n"
               << std::flush;
          frames_.clear();
        } else {
          std::lock_guard<std::mutex> lock(ConsoleMutex());
          err_ << "tiway: " << message << "\n";
        }
      }
    } else {
      std::vector<bool> changed(now.size(), true);
      for (size_t k = 0; k < now.size() && k < last.size() && lastStatus == 0; ++k) {
        changed[k] = now[k] != last[k];
      }
      if (std::find(changed.begin(), changed.end(), true) != changed.end()) {
        PrintValues(address, now, &changed, elapsed, poll);
      }
      last = now;
    }
    lastStatus = status;
    if (o_.polls != 0 && poll == o_.polls) break;
    for (int32_t waited = 0; waited < o_.intervalMs && !host_.interrupted(); waited += 50) {
      host_.sleep(std::min<int32_t>(50, o_.intervalMs - waited));
    }
  }
  Stop();
  return exitCode;
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
  Runner runner(options, host, out, err);
  if (options.command == "info") return runner.Info();
  return runner.Transfer();
}

}  // namespace tiway
