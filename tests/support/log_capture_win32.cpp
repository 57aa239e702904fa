#include "tests/support/log_capture.h"

extern "C" __declspec(dllimport) int KarvelLineCount();
extern "C" __declspec(dllimport) const char* KarvelLine(int index);
extern "C" __declspec(dllimport) int KarvelLevel(int index);
extern "C" __declspec(dllimport) void KarvelClear();

LogCapture::LogCapture() { Clear(); }
LogCapture::~LogCapture() = default;
std::vector<std::string> LogCapture::Lines() const {
  std::vector<std::string> lines;
  for (int i = 0; i < KarvelLineCount(); ++i) lines.push_back(KarvelLine(i));
  return lines;
}
std::vector<int> LogCapture::Levels() const {
  std::vector<int> levels;
  for (int i = 0; i < KarvelLineCount(); ++i) levels.push_back(KarvelLevel(i));
  return levels;
}
void LogCapture::Clear() { KarvelClear(); }
