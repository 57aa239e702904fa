// The gateway's log: timestamped lines on standard error.
#pragma once

#include <chrono>
#include <string>

namespace gateway {

using Clock = std::chrono::steady_clock;

// A timestamped line on standard error (thread-safe).
void Log(const std::string& line);
// Whoever keeps some lines besides standard error (the status page keeps
// the audit lines): called with the stamped line, under the log's lock, so
// it must be quick and must not log. nullptr removes it.
void SetLogTap(void (*tap)(const std::string& stamped));

}  // namespace gateway
