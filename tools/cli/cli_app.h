// tiway's command line as one CLI11 application: the option table that the
// parser (cli_args.cpp), the profile (profile.cpp), --help, the bash
// completion and the man page (cli_docs.cpp) all read.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/cli_args.h"

namespace tiway {

// Option values as given, checked after parsing.
struct Raw {
  std::string baud, dataBits, stopBits, parity, timeout, hostType, instance, interval, polls,
      format, profile;
  std::vector<std::string> args;  // the subcommand's positional arguments
};

inline constexpr const char* kCommands = "info, read, write, watch or plot";

extern const char* const kDescription;

inline constexpr const char* kProfileShown = "~/.config/tiway/profile";

// The notes at the end of tiway --help (and of the man page).
std::string Footer();

// The application: its options write into o and raw when it parses.
std::unique_ptr<CLI::App> MakeApp(Options& o, Raw& raw, std::string_view defaultPort);

}  // namespace tiway
