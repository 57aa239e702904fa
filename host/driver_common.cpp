#include <atomic>
#include <cstdio>

#include "host/driver.h"

namespace zortw_host {

namespace {

thread_local std::vector<std::string> t_lines;
std::atomic<LogEcho> g_echo{nullptr};

}  // namespace

std::string FormatDriverLine(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) std::vsnprintf(line.data(), line.size() + 1, format, args);
  return line;
}

int CollectingLog(int /*level*/, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = FormatDriverLine(format, args);
  va_end(args);
  if (LogEcho echo = g_echo.load()) echo(line);
  t_lines.push_back(std::move(line));
  return 0;
}

std::vector<std::string> TakeThreadLog() {
  std::vector<std::string> lines;
  lines.swap(t_lines);
  return lines;
}

void SetLogEcho(LogEcho echo) {
  g_echo.store(echo);
}

}  // namespace zortw_host
