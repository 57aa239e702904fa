// Points as the user names them: "05V0064:4" on the command line, and the
// lines of a scan list file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/problem.h"

namespace tiway {

// "05V0064:4" or "05V0064" (count 1).
struct PointSpec {
  std::string text;
  int32_t count = 1;
  std::string origin;  // "FILE:LINE" for a point of a scan list
};
Problem ParsePointSpec(std::string_view text, PointSpec& out);

// A line of a scan list that names a point: the point, or what is wrong
// with the line.
struct ScanLine {
  PointSpec spec;   // its origin is "FILE:LINE" whether the line is good or not
  Problem problem;  // the line's mistake, without its origin
};

// A scan list: one point per line ("05V0064:4" or "05V0064 4"); '#' starts a
// comment. Every line that names something, in line order, so that every
// mistake can be told at once.
std::vector<ScanLine> ParseScanList(std::string_view text, const std::string& file);

}  // namespace tiway
