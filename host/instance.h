// A small typed API over ZorMain: one driver instance as a host keeps it
// (the context it allocates and the parameter blocks it fills). Each call
// returns the driver's status and the log lines the call produced.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zortw/zortw.h"

namespace zortw_host {

struct Result {
  int32_t status = ZOR_OK;
  std::vector<std::string> log;  // the driver's lines during the call
  bool ok() const { return status == ZOR_OK; }
};

// The 8-data-bit, no-parity line of a pseudo-terminal (which carries whole
// bytes); a real adapter takes GetDriverInfo's defaultLine.
inline constexpr ZorLineSettings kPtyLine = {19200, 8, 0, 0};

class Instance {
 public:
  // Where a call's log lines come from: by default the lines CollectingLog
  // kept for the calling thread (host/driver.h).
  using TakeLog = std::function<std::vector<std::string>()>;

  Instance(ZorMainFn zorMain, int32_t instance, TakeLog takeLog = {});

  // Any command with its parameter block (null for none).
  Result Call(int32_t command, void* params);

  // GetDriverInfo; the context grows to the contextSize it gives.
  Result Info(ZorDriverInfo& info);
  // ColdStart: opens the port and configures the adapter (about 10 s on an
  // adapter that is not configured). Its status is 0 even when the
  // configuration fails: see AdapterFailure (host/log_lines.h) on the log.
  Result Start(const std::string& port, int32_t readTimeout, const ZorLineSettings& line,
               uint32_t enabled = 1);
  Result WarmStart() { return Call(ZOR_WARM_START, nullptr); }
  Result Reopen(const std::string& port, int32_t readTimeout, const ZorLineSettings& line);
  // DefinePoint (or CheckBlock with elementCount); address receives the
  // driver's form of the point.
  Result Define(const std::string& text, int32_t hostDataType, ZorPointAddress& address);
  Result CheckBlock(const std::string& text, int32_t hostDataType, int32_t elementCount,
                    ZorPointAddress& address);
  // ReadBlock / WriteBlock (or their unchecked forms) of count elements
  // (F: 16-bit words) to or from data.
  Result Read(const ZorPointAddress& address, int32_t count, uint16_t* data, bool checked = true);
  Result Write(const ZorPointAddress& address, int32_t count, uint16_t* data, bool checked = true);
  Result Stop() { return Call(ZOR_STOP, nullptr); }

  ZorPortContext& Context() { return *reinterpret_cast<ZorPortContext*>(context_.data()); }
  const std::vector<uint8_t>& Bytes() const { return context_; }
  int32_t Number() const { return instance_; }
  ZorMainFn Entry() const { return zorMain_; }

 private:
  Result Block(int32_t command, const ZorPointAddress& address, int32_t count, uint16_t* data);
  Result Definition(int32_t command, const std::string& text, int32_t hostDataType,
                    int32_t elementCount, ZorPointAddress& address);

  ZorMainFn zorMain_;
  int32_t instance_;
  TakeLog takeLog_;
  std::vector<uint8_t> context_;
};

}  // namespace zortw_host
