// The audit record: one line per Modbus write, good or refused, never
// rate-limited: who (address and port), what (unit, function, address,
// values), the driver's status and the answer sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/modbus/pdu.h"

namespace gateway::report {

// The line's text (without the date, which Log adds). `status` is the
// driver's, or kNotSent / kNotDone; `why` (may be nullptr) explains a refusal.
std::string AuditWrite(const std::string& address, uint16_t port, const modbus::Request& request,
                       int32_t status, uint8_t answer, const char* why);

// A write to a tag: who, the tag's name, unit and address, the value in
// engineering units and the words written (none when refused), the
// driver's status and, when refused, why.
std::string AuditTagWrite(const std::string& actor, int unit, const std::string& tag,
                          const std::string& address, double value,
                          const std::vector<uint16_t>& words, int32_t status, const char* why);

}  // namespace gateway::report
