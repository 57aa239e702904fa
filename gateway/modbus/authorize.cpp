#include "gateway/modbus/authorize.h"

#include <algorithm>

#include "gateway/modbus/answers.h"

namespace gateway::modbus {

uint8_t Authorize(const Config& config, const access::Rights& rights, const Request& request,
                  bool withinRate, const char*& why) {
  // A client over its request rate is told the server is busy.
  if (!withinRate) {
    why = "over its request rate (max_requests_per_s)";
    return kDeviceBusy;
  }
  if (request.unit == config.diagnosticsUnit) {
    if (config.diagnostics == DiagnosticsAccess::Off) {
      why = "the diagnostics unit is off";
      return kGatewayPath;
    }
    if (config.diagnostics == DiagnosticsAccess::Write && rights.role != Role::Write) {
      why = "the diagnostics unit is for clients of role write";
      return kIllegalFunction;
    }
  }
  if (!rights.units.empty() &&
      std::find(rights.units.begin(), rights.units.end(), request.unit) == rights.units.end()) {
    why = "the unit is not among its rule's units";
    return kIllegalFunction;
  }
  if (request.write && rights.role != Role::Write) {
    why = "its role is read";
    return kIllegalFunction;
  }
  return kOk;
}

}  // namespace gateway::modbus
