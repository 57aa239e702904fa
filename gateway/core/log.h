// The gateway's log: timestamped lines on standard error.
#pragma once

#include <chrono>
#include <string>

namespace gateway {

using Clock = std::chrono::steady_clock;

// A timestamped line on standard error (thread-safe).
void Log(const std::string& line);

}  // namespace gateway
