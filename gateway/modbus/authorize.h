// Whether a client's rights allow a Modbus request, and the exception that
// answers it when they do not.
#pragma once

#include <cstdint>

#include "gateway/access/policy.h"
#include "gateway/config/config.h"
#include "gateway/modbus/pdu.h"

namespace gateway::modbus {

// kOk when a client with `rights` may make `request`, else the exception to
// answer and `why`: over its request rate (`withinRate` false), the
// diagnostics unit's access, its rule's units, its role.
uint8_t Authorize(const Config& config, const access::Rights& rights, const Request& request,
                  bool withinRate, const char*& why);

}  // namespace gateway::modbus
