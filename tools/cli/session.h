// One run of tiway against a loaded driver: the sequence of ZorMain requests
// a host makes (GetDriverInfo, ColdStart, DefinePoint or CheckBlock, the
// transfer, Stop) and the output of each command. The driver is reached only
// through the ZorMain pointer in Host, so tests can put a stand-in there.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tools/cli/cli_args.h"
#include "tools/cli/problem.h"
#include "zortw/zortw.h"

namespace tiway {

// ZorMainFn, the records and the command codes (ZOR_COLD_START ...) are the
// public header's (zortw/zortw.h).

struct Host {
  ZorMainFn zorMain = nullptr;
  std::string driverPath;  // shown by info
  // The driver's log lines since the last call.
  std::function<std::vector<std::string>()> takeLog = [] { return std::vector<std::string>(); };
  bool progressTerminal = false;  // stderr is a terminal: animate the wait
  bool utf8Stdout = false;        // stdout takes UTF-8 (for the banner)
  // Whether SIGINT/SIGTERM (Ctrl-C, Ctrl-Break, console close) arrived: checked
  // between driver calls, never inside one.
  std::function<bool()> interrupted = [] { return false; };
  std::function<void(int32_t milliseconds)> sleep;  // waits between watch polls
  // Why the port could not be opened (the platform's own look at it).
  std::function<std::string(const std::string& port, const ZorLineSettings& line)> diagnosePort;
  // The wall clock, for the time stamps of watch (ISO 8601, milliseconds).
  std::function<std::string()> now;
  // Reads a whole file into text, or says why it cannot.
  std::function<Problem(const std::string& path, std::string& text)> readFile;
};

// Runs the parsed command; returns the exit code.
int Run(const Options& options, Host& host, std::ostream& out, std::ostream& err);

// The gnuplot script of a plot: words and F values as lines, discretes and
// single bits as steps on an axis of their own. blocks holds each point's
// samples ("TIME VALUE" lines).
std::string PlotScript(const std::vector<std::string>& points,
                       const std::map<std::string, std::string>& blocks, const std::string& title,
                       const std::string& png);

// Serialises writes to standard error between the driver's log lines (which
// may arrive on the thread that runs ColdStart) and the progress line.
std::mutex& ConsoleMutex();
// Writes one driver log line to err, clearing a progress line first.
void EchoDriverLine(std::ostream& err, const std::string& line);

}  // namespace tiway
