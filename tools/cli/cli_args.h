// The command line of tiway: subcommands, options, usage text, exit codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/problem.h"
#include "tools/cli/scan_list.h"
#include "tools/cli/values.h"

namespace tiway {

// Exit codes (listed in the usage text).
enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,          // unknown option, missing or malformed argument
  kExitBadPoint = 2,       // address text or value refused (by the CLI's check or the driver)
  kExitNoDriver = 3,       // the driver library or its ZorMain could not be loaded
  kExitPortFailed = 4,     // the port could not be opened
  kExitTransfer = 5,       // a read or write returned a non-zero status
  kExitDriverStatus = 6,   // another unexpected driver status (a command missing, Stop failing)
  kExitAdapter = 7,        // the adapter configuration failed (without --keep-going)
  kExitInterrupted = 130,  // SIGINT/SIGTERM (Ctrl-C, Ctrl-Break, console closed)
};

struct Options {
  std::string command;            // info, read, write, watch, plot (empty with --help/--version)
  std::vector<PointSpec> points;  // read and watch: several; write: one
  std::vector<std::string> values;
  std::string scanList;  // read, watch: a file of points
  bool keepGoing = false;
  ValueFormat format = ValueFormat::Default;
  std::string csvFile;     // watch: samples as CSV
  std::string plotInput;   // plot: the CSV of a watch
  std::string plotOutput;  // plot: the PNG
  std::string port;
  std::optional<uint16_t> baud, dataBits, stopBits, parity;  // stopBits: the record's code
  int32_t timeout = 100;  // the driver's readTimeout, tens of milliseconds
  bool trace = false;
  bool json = false;
  bool raw = false;   // banner bytes as the driver gives them
  bool utf8 = false;  // banner converted to UTF-8 whatever the terminal
  std::optional<int32_t> hostType;
  int32_t instance = 1;
  std::string driverPath;  // empty: the library beside the executable
  int32_t intervalMs = 1000;
  int64_t polls = 0;            // 0: until interrupted
  bool rawBits = false;         // write: F values given as their 32 bits
  bool allowNonFinite = false;  // write: F values may be nan, inf, -inf
  bool help = false;
  std::string helpCommand;  // --help after a command: that command's options
  bool version = false;
  bool completion = false;  // print the bash completion script
  bool manPage = false;     // print the man page (roff)
};

// Parses the arguments after the program name. defaultPort is used when no
// --port is given (empty: --port is required for read, write and watch).
// Settings missing from the command line come from the environment
// (TIWAY_PORT, TIWAY_DRIVER) and then from the profile file (--profile FILE,
// or TIWAY_PROFILE, or ~/.config/tiway/profile): "port = /dev/ttyS0" lines.
// An unknown key or a bad value in the profile is an error naming its file
// and line.
Problem ParseArgs(const std::vector<std::string>& args, std::string_view defaultPort, Options& out);

// The help of tiway, or of one command (its own options).
std::string UsageText(std::string_view defaultPort, const std::string& command = "");
// Generated from the same option table as the parser.
std::string BashCompletion();
std::string ManPage();
// Whether the arguments ask for JSON (for reporting a bad command line).
bool WantsJson(const std::vector<std::string>& args);

// The longest port name the driver's parameter block carries (12 bytes with
// the terminating NUL).
inline constexpr size_t kMaxPortName = 11;

}  // namespace tiway
