// The counters in the Prometheus text format, for the metrics listener.
#pragma once

#include <string>

#include "gateway/core/gateway.h"

namespace gateway {

std::string MetricsText(const Gateway& gateway, Clock::time_point now);

}  // namespace gateway
