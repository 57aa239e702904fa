#include "gateway/core/log.h"

#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>

namespace gateway {

void Log(const std::string& line) {
  static std::mutex mutex;
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
}

}  // namespace gateway
