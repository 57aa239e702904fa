#include "host/instance.h"

#include <algorithm>
#include <cstring>

#include "host/driver.h"

namespace zortw_host {

namespace {

void CopyPortName(char (&field)[12], const std::string& port) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, port.data(), std::min(port.size(), sizeof field - 1));
}

}  // namespace

Instance::Instance(ZorMainFn zorMain, int32_t instance, TakeLog takeLog)
    : zorMain_(zorMain),
      instance_(instance),
      takeLog_(takeLog ? std::move(takeLog) : TakeLog(TakeThreadLog)),
      context_(ZOR_CONTEXT_SIZE, 0) {}

Result Instance::Call(int32_t command, void* params) {
  ZorRequest request{};
  request.context = reinterpret_cast<ZorPortContext*>(context_.data());
  request.command = command;
  request.instance = instance_;
  request.params = params;
  Result result;
  result.status = zorMain_(&request);
  result.log = takeLog_();
  return result;
}

Result Instance::Info(ZorDriverInfo& info) {
  std::memset(&info, 0, sizeof info);
  Result result = Call(ZOR_GET_DRIVER_INFO, &info);
  if (result.ok() && info.contextSize > static_cast<int32_t>(context_.size())) {
    context_.resize(static_cast<size_t>(info.contextSize), 0);
  }
  return result;
}

Result Instance::Start(const std::string& port, int32_t readTimeout, const ZorLineSettings& line,
                       uint32_t enabled) {
  ZorColdStartParams params{};
  CopyPortName(params.portName, port);
  params.enabled = enabled;
  params.readTimeout = readTimeout;
  params.line = line;
  return Call(ZOR_COLD_START, &params);
}

Result Instance::Reopen(const std::string& port, int32_t readTimeout, const ZorLineSettings& line) {
  ZorReopenPortParams params{};
  CopyPortName(params.portName, port);
  params.readTimeout = readTimeout;
  params.line = line;
  return Call(ZOR_REOPEN_PORT, &params);
}

Result Instance::Definition(int32_t command, const std::string& text, int32_t hostDataType,
                            int32_t elementCount, ZorPointAddress& address) {
  ZorPointDefinition definition{};
  definition.addressText = text.c_str();
  definition.hostDataType = hostDataType;
  definition.elementCount = elementCount;
  Result result = Call(command, &definition);
  address = definition.address;
  return result;
}

Result Instance::Define(const std::string& text, int32_t hostDataType, ZorPointAddress& address) {
  return Definition(ZOR_DEFINE_POINT, text, hostDataType, 1, address);
}

Result Instance::CheckBlock(const std::string& text, int32_t hostDataType, int32_t elementCount,
                            ZorPointAddress& address) {
  return Definition(ZOR_CHECK_BLOCK, text, hostDataType, elementCount, address);
}

Result Instance::Block(int32_t command, const ZorPointAddress& address, int32_t count,
                       uint16_t* data) {
  ZorBlockRequest block{};
  block.address = address;
  block.elementCount = count;
  block.data = data;
  return Call(command, &block);
}

Result Instance::Read(const ZorPointAddress& address, int32_t count, uint16_t* data, bool checked) {
  return Block(checked ? ZOR_READ_BLOCK : ZOR_READ_BLOCK_UNCHECKED, address, count, data);
}

Result Instance::Write(const ZorPointAddress& address, int32_t count, uint16_t* data,
                       bool checked) {
  return Block(checked ? ZOR_WRITE_BLOCK : ZOR_WRITE_BLOCK_UNCHECKED, address, count, data);
}

}  // namespace zortw_host
