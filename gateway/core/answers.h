// What the gateway answers a Modbus request with when it cannot carry it out.
#pragma once

#include <cstdint>

namespace gateway {

// Modbus exception codes the gateway answers with.
enum Exception : uint8_t {
  kOk = 0,
  kIllegalFunction = 0x01,
  kIllegalAddress = 0x02,
  kIllegalValue = 0x03,
  kDeviceFailure = 0x04,
  kDeviceBusy = 0x06,     // the client's request rate is over its limit
  kGatewayPath = 0x0A,    // the unit id is not configured
  kGatewayTarget = 0x0B,  // no good value: the station did not answer, or too long ago
};

// A write's status when the gateway refused it before it reached a line.
inline constexpr int32_t kNotSent = -1001;

}  // namespace gateway
