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

}  // namespace gateway
