// The run of one command against the loaded driver, shared by the files
// that make it up: session.cpp (the sequence of ZorMain requests and the
// plan), transfers.cpp (block transfers, reads and writes), watch.cpp,
// plot.cpp and console.cpp (the start-up's progress on the terminal).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "host/instance.h"
#include "host/status.h"
#include "tools/cli/cli_args.h"
#include "tools/cli/point_address.h"
#include "tools/cli/result.h"
#include "tools/cli/session.h"
#include "zortw/zortw.h"

namespace tiway {

using Clock = std::chrono::steady_clock;

// The statuses' meanings are the host library's.
using zortw_host::kNoReplyAdvice;
using zortw_host::StatusMeaning;
using zortw_host::Step;

inline double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A point of the run, planned before the port is touched: its ranges split
// into block transfers, each checked with the driver's rules.
struct PointPlan {
  PointSpec spec;
  PointKind kind = PointKind::VWord;
  int32_t hostType = 0;
  std::vector<Chunk> chunks;
  std::vector<ZorPointAddress> addresses;  // the driver's, one per chunk, after definition
  std::string warning;                     // the text may not mean what the user meant
};

// The wall clock as watch stamps its samples: ISO 8601, local time, with
// milliseconds.
std::string WallClock();

// One command's run: every call to ZorMain goes through its instance, every
// result through Emit.
class Runner {
 public:
  Runner(const Options& options, Host& host, std::ostream& out, std::ostream& err)
      : o_(options),
        host_(host),
        out_(out),
        err_(err),
        instance_(host.zorMain, options.instance, [&host] { return host.takeLog(); }) {
    render_.format = o_.format;
    render_.trace = o_.trace;
  }

  int Info();
  int Transfer();
  int Plot();

 private:
  int32_t Call(int32_t command, void* params, OpResult& op) {
    zortw_host::Result result = instance_.Call(command, params);
    for (std::string& line : result.log) op.log.push_back(std::move(line));
    return result.status;
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
  zortw_host::Result ColdStartWithProgress(ZorColdStartParams& params);
  bool GetInfo(ZorDriverInfo& info);
  bool Plan(std::vector<PointPlan>& plans, OpResult& failure);
  bool Define(PointPlan& plan, OpResult& op);
  // One block transfer; false when it failed (op filled in).
  bool Block(int32_t command, const ZorPointAddress& address, int32_t driverCount,
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
  zortw_host::Instance instance_;      // the context and every call to ZorMain
  ZorPortContext* context_ = nullptr;  // the instance's, once started
  bool stopped_ = true;
  ZorLineSettings line_{};  // the line the port was opened with
};

}  // namespace tiway
