// The gateway's log: timestamped lines on standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace gateway {

using Clock = std::chrono::steady_clock;

// A timestamped line on standard error (thread-safe).
void Log(const std::string& line);
// Whoever keeps some lines besides standard error (the status page keeps
// the audit lines): called with the stamped line, under the log's lock, so
// it must be quick and must not log. nullptr removes it.
void SetLogTap(void (*tap)(const std::string& stamped));

// Holds back a line that was already let through within the window: a
// station that keeps failing makes the driver write the same line on every
// poll, several times a second. The next time the line comes after its
// window, it is let through with the count held back.
class RepeatFilter {
 public:
  explicit RepeatFilter(Clock::duration window) : window_(window) {}
  // The text to log for line at now, or nullopt when it is held back.
  std::optional<std::string> Pass(const std::string& line, Clock::time_point now);

 private:
  struct Seen {
    Clock::time_point since;
    uint64_t held = 0;
  };
  Clock::duration window_;
  std::unordered_map<std::string, Seen> seen_;
};

// A line of the driver's, through a RepeatFilter of ten minutes, as
// "driver: LINE" (thread-safe).
void LogDriverLine(const std::string& line);

}  // namespace gateway
