#include "gateway/core/log.h"

#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>

namespace gateway {

namespace {

std::mutex mutex;
void (*logTap)(const std::string&) = nullptr;

}  // namespace

void SetLogTap(void (*tap)(const std::string& stamped)) {
  std::lock_guard<std::mutex> lock(mutex);
  logTap = tap;
}

void Log(const std::string& line) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                now.tv_nsec / 1000000);
  std::lock_guard<std::mutex> lock(mutex);
  std::cerr << stamp << line << "\n" << std::flush;
  if (logTap != nullptr) logTap(stamp + line);
}

std::optional<std::string> RepeatFilter::Pass(const std::string& line, Clock::time_point now) {
  auto found = seen_.find(line);
  if (found != seen_.end() && now - found->second.since < window_) {
    ++found->second.held;
    return std::nullopt;
  }
  // Lines whose window has passed are forgotten once many are kept (the
  // driver's lines carry numbers: their variety is bounded, not small).
  if (found == seen_.end() && seen_.size() >= 256) {
    std::erase_if(seen_, [&](const auto& entry) { return now - entry.second.since >= window_; });
  }
  std::string text = line;
  const uint64_t held = found == seen_.end() ? 0 : found->second.held;
  if (held > 0) {
    text += " (and " + std::to_string(held) + " more times since it was last logged)";
  }
  seen_[line] = Seen{now, 0};
  return text;
}

void LogDriverLine(const std::string& line) {
  static std::mutex mutex;
  static RepeatFilter filter(std::chrono::minutes(10));
  std::optional<std::string> text;
  {
    std::lock_guard<std::mutex> lock(mutex);
    text = filter.Pass(line, Clock::now());
  }
  if (text) Log("driver: " + *text);
}

}  // namespace gateway
