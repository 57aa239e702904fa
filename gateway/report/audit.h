// The audit record: one line per Modbus write, good or refused, never
// rate-limited: who (address and port), what (unit, function, address,
// values), the driver's status and the answer sent.
#pragma once

#include <cstdint>
#include <string>

#include "gateway/modbus/pdu.h"

namespace gateway::report {

// The line's text (without the date, which Log adds). `status` is the
// driver's, or kNotSent / kNotDone; `why` (may be nullptr) explains a refusal.
std::string AuditWrite(const std::string& address, uint16_t port, const modbus::Request& request,
                       int32_t status, uint8_t answer, const char* why);

}  // namespace gateway::report
