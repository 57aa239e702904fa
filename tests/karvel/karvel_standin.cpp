// A stand-in for the host's KARVEL.dll, for tests: exports err as the host
// does, records every formatted line with its level, and lets tests read
// them back. With KARVEL_ECHO set in the environment it also prints each line
// to standard error, so programs run by hand show the driver's log.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
struct Line {
  int level;
  std::string text;
};
std::vector<Line>& Lines() {
  static std::vector<Line> lines;
  return lines;
}
}  // namespace

extern "C" __declspec(dllexport) int err(int level, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Lines().push_back(Line{level, text});
  if (std::getenv("KARVEL_ECHO") != nullptr) {
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
  }
  return 0;
}

extern "C" __declspec(dllexport) int KarvelLineCount() { return static_cast<int>(Lines().size()); }
extern "C" __declspec(dllexport) const char* KarvelLine(int index) {
  return Lines().at(static_cast<size_t>(index)).text.c_str();
}
extern "C" __declspec(dllexport) int KarvelLevel(int index) {
  return Lines().at(static_cast<size_t>(index)).level;
}
extern "C" __declspec(dllexport) void KarvelClear() { Lines().clear(); }
