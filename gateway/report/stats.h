// The counters as text for the log (every stats_interval_s and on SIGUSR1),
// and the start-up progress of lines still configuring their adapters.
#pragma once

#include <string>

#include "gateway/core/gateway.h"

namespace gateway {

// One line per line, per unit and per client address.
std::string StatsText(const Gateway& gateway, Clock::time_point now);
// Lines still starting or configuring, as text (empty when none).
std::string Progress(const Gateway& gateway, Clock::time_point now);

}  // namespace gateway
