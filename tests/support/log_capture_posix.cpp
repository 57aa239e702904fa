#include <cstdarg>
#include <cstdio>

#include "base/log.h"
#include "tests/support/log_capture.h"

namespace {
struct Recorded {
  std::vector<std::string> lines;
  std::vector<int> levels;
};
Recorded g_recorded;  // test-only

int Record(int level, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  g_recorded.lines.push_back(text);
  g_recorded.levels.push_back(level);
  return 0;
}
}  // namespace

LogCapture::LogCapture() {
  Clear();
  ZorSetLogFunction(&Record);
}
LogCapture::~LogCapture() {
  ZorSetLogFunction(nullptr);
}
std::vector<std::string> LogCapture::Lines() const {
  return g_recorded.lines;
}
std::vector<int> LogCapture::Levels() const {
  return g_recorded.levels;
}
void LogCapture::Clear() {
  g_recorded = Recorded{};
}
