// Captures the driver's log lines for a test, as the host would receive
// them: through ZorSetLogFunction on Linux, through the stand-in KARVEL.dll
// on Windows.
#pragma once

#include <string>
#include <vector>

class LogCapture {
 public:
  LogCapture();  // starts with no lines
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const;  // formatted lines, in order
  std::vector<int> Levels() const;         // the level of each line
  void Clear();
};
