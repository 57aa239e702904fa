// What the gateway answers a Modbus request with when it cannot carry it out.
#pragma once

#include <cstdint>

#include "gateway/core/points.h"

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

// The exception that answers a write's status: none for ZOR_OK; 0x0B when
// the station did not answer or the write was not carried out (as for a
// read); 0x04 for any other failure.
uint8_t ExceptionForWrite(int32_t status);

}  // namespace gateway
