// The simulator's memory as text: the lines of a memory file and of the
// control "set" command, and the lists of stations on the command line.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim_model.h"

namespace tiway_sim {

// Initial data and the control "set" command: one line
//   SS T AAAA [=] VALUE...
// SS station (hex), T one of V F X Y C, AAAA the first element address (hex),
// values in hex: V up to 4 digits, F up to 8 (high word at AAAA, low word at
// AAAA+1), X/Y/C 0 or 1. Blank lines and text after "#" are ignored.
// Returns an empty string, or what is wrong with the line.
std::string ApplyDataLine(std::string_view line, Network& network);
// The whole file's text; the error names the line number.
std::string ApplyDataText(std::string_view text, Network& network);

// "1-5,10,0x20" or "all": station numbers 1 to 254, decimal (0x for hex).
bool ParseStationList(std::string_view text, std::set<int>& stations, std::string& error);

std::vector<std::string> SplitWords(std::string_view line);

}  // namespace tiway_sim
