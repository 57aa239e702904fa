// The command line of tiway, on CLI11 (as tiway-sim's): one option table
// gives the parser, --help, the bash completion and the man page. Values are
// taken as text and checked here, so that every mistake is named in the
// words of the driver's records.
#include "tools/cli/cli_args.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <tuple>

#include "tools/cli/cli_app.h"
#include "tools/cli/numbers.h"
#include "tools/cli/port_line.h"
#include "tools/cli/profile.h"

namespace tiway {

namespace {

const std::string kValueMark = "\x1F";

std::string Range(std::string_view name, int64_t low, int64_t high) {
  return std::string(name) + " takes a number from " + std::to_string(low) + " to " +
         std::to_string(high);
}

// The message of a CLI11 parse error, in tiway's words.
std::string ParseErrorText(const CLI::ParseError& e, const std::string& command) {
  const bool commandGiven = !command.empty();
  std::string what = e.what();
  if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
    // "The following argument was not expected: --bogus"
    const size_t colon = what.rfind(": ");
    const std::string extra = colon == std::string::npos ? what : what.substr(colon + 2);
    if (!extra.empty() && extra[0] == '-') {
      for (const char* watchOnly : {"--interval", "--polls", "--csv"}) {
        if (extra.rfind(watchOnly, 0) == 0) return extra + " is an option of watch only";
      }
      return "unknown option " + extra;
    }
    if (!commandGiven) {
      return "unknown command '" + extra + "' (" + std::string(kCommands) + ")";
    }
    if (command == "info") return "info takes no arguments; given " + extra;
    return "unexpected argument " + extra;
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
    const size_t colon = what.find(':');
    if (colon != std::string::npos && what.find("missing") != std::string::npos) {
      return what.substr(0, colon) + " needs a value";
    }
  }
  return what;
}

}  // namespace

bool WantsJson(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--json") return true;
  }
  return false;
}

Problem ParseArgs(const std::vector<std::string>& args, std::string_view defaultPort, Options& o) {
  o = Options{};
  auto fail = [](std::string message) -> Problem { return message; };
  Raw raw;
  std::unique_ptr<CLI::App> app = MakeApp(o, raw, defaultPort);
  try {
    // "-inf" and "-nan" are values, not options, and so is every argument
    // after "--" (write 05V0064 -- -5): marked so that the parser keeps them
    // as arguments of the command, unmarked after it. The "--" itself is
    // not handed on: CLI11 would end the command's arguments there.
    const auto dashes = std::find(args.begin(), args.end(), "--");
    std::vector<std::string> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) {
      if (it.base() - 1 == dashes) continue;
      std::string lower = *it;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const bool afterDashes = dashes != args.end() && it.base() - 1 > dashes;
      const bool value = afterDashes || lower == "-inf" || lower == "-nan" || lower == "-infinity";
      reversed.push_back(value ? kValueMark + *it : *it);
    }
    app->parse(reversed);
  } catch (const CLI::CallForHelp&) {
    o.help = true;
    std::vector<CLI::App*> used = app->get_subcommands();
    if (!used.empty()) o.helpCommand = used.back()->get_name();
    return std::nullopt;
  } catch (const CLI::ParseError& e) {
    const std::vector<CLI::App*> used = app->get_subcommands();
    return fail(ParseErrorText(e, used.empty() ? std::string() : used.back()->get_name()));
  }
  if (o.help || o.version || o.completion || o.manPage) return std::nullopt;
  auto given = [&args](const std::string& name) {
    for (const std::string& arg : args) {
      if (arg == "--") break;
      if (arg == name || arg.rfind(name + "=", 0) == 0) return true;
    }
    return false;
  };
  // The environment comes between the command line and the profile.
  for (auto [name, variable, field] :
       {std::tuple{"--port", "TIWAY_PORT", &o.port}, {"--driver", "TIWAY_DRIVER", &o.driverPath}}) {
    const char* value = std::getenv(variable);
    if (!given(name) && value != nullptr && *value != '\0') *field = value;
  }
  // Where a value came from, for the messages: "FILE:LINE: key = value: ".
  std::map<std::string, std::string> origin;
  auto from = [&origin](const std::string& name) {
    auto at = origin.find(name);
    return at == origin.end() ? std::string() : at->second;
  };
  {
    std::string path = raw.profile;
    bool named = !path.empty();
    if (!named) {
      const char* variable = std::getenv("TIWAY_PROFILE");
      if (variable != nullptr && *variable != '\0') {
        path = variable;
        named = true;
      }
    }
    if (!named) path = DefaultProfile();
    if (!path.empty()) {
      if (Problem problem = ApplyProfile(path, named, given, o, raw, origin)) return problem;
    }
  }

  auto number = [](const std::string& text, int64_t low, int64_t high, auto& field) -> bool {
    std::optional<int64_t> n = ParseNumber(text, low < 0);
    if (!n || *n < low || *n > high) return false;
    field = static_cast<std::remove_reference_t<decltype(field)>>(*n);
    return true;
  };
  if (!raw.baud.empty()) {
    std::optional<int64_t> n = ParseNumber(raw.baud);
    if (n && *n > 65535) {
      return fail(from("--baud") + "--baud " + raw.baud +
                  " cannot be carried: the driver's line settings hold the rate in 16 bits "
                  "(at most 65535)");
    }
    uint16_t baud = 0;
    if (!number(raw.baud, 1, 65535, baud)) return fail(from("--baud") + Range("--baud", 1, 65535));
    o.baud = baud;
  }
  if (!raw.dataBits.empty()) {
    uint16_t bits = 0;
    if (!number(raw.dataBits, 5, 8, bits))
      return fail(from("--data-bits") + Range("--data-bits", 5, 8));
    o.dataBits = bits;
  }
  if (!raw.stopBits.empty()) {
    o.stopBits = ParseStopBits(raw.stopBits);
    if (!o.stopBits)
      return fail(from("--stop-bits") + "--stop-bits takes 1, 1.5 or 2 (stop bits); given " +
                  raw.stopBits);
  }
  if (!raw.parity.empty()) {
    o.parity = ParseParity(raw.parity);
    if (!o.parity)
      return fail(from("--parity") + "--parity takes none, odd, even, mark or space (or 0 to 4)");
  }
  if (!raw.timeout.empty() && !number(raw.timeout, -2147483647ll - 1, 2147483647, o.timeout)) {
    return fail(from("--timeout") + "--timeout takes a whole number of tens of milliseconds");
  }
  if (!raw.hostType.empty()) {
    int32_t type = 0;
    if (!number(raw.hostType, -2147483647ll - 1, 2147483647, type)) {
      return fail(from("--host-type") + "--host-type takes a whole number");
    }
    o.hostType = type;
  }
  if (!raw.instance.empty() && !number(raw.instance, 0, 2147483647, o.instance)) {
    return fail(from("--instance") + Range("--instance", 0, 2147483647));
  }
  if (!raw.interval.empty() && !number(raw.interval, 0, 86400000, o.intervalMs)) {
    return fail(Range("--interval", 0, 86400000));
  }
  if (!raw.polls.empty() && !number(raw.polls, 0, 2147483647, o.polls)) {
    return fail(Range("--polls", 0, 2147483647));
  }
  if (!raw.format.empty()) {
    std::optional<ValueFormat> format = ParseValueFormat(raw.format);
    if (!format) return fail(from("--format") + "--format takes float, int, hex or bin");
    o.format = *format;
  }

  for (std::string& arg : raw.args) {
    if (arg.rfind(kValueMark, 0) == 0) arg.erase(0, kValueMark.size());
  }
  std::vector<CLI::App*> used = app->get_subcommands();
  if (used.empty()) return fail(std::string("no command given (") + kCommands + ")");
  o.command = used[0]->get_name();
  const std::vector<std::string>& positional = raw.args;
  if (o.command == "info") return std::nullopt;
  if (o.command == "plot") {
    if (positional.size() != 1) return fail("plot takes the CSV file of a watch --csv");
    o.plotInput = positional[0];
    if (o.plotOutput.empty()) {
      const size_t dot = o.plotInput.rfind('.');
      o.plotOutput = (dot == std::string::npos || o.plotInput.find('/', dot) != std::string::npos
                          ? o.plotInput
                          : o.plotInput.substr(0, dot)) +
                     ".png";
    }
    return std::nullopt;
  }
  if (positional.empty() && o.scanList.empty()) {
    return fail(o.command + " needs a POINT, such as 05V0064");
  }
  if (o.command == "write") {
    if (positional.size() < 2) return fail("write needs at least one VALUE after the POINT");
    if (positional[0].find(':') != std::string::npos) {
      return fail("write takes POINT VALUE...: the values give the count");
    }
    o.points.push_back({positional[0], static_cast<int32_t>(positional.size() - 1), ""});
    o.values.assign(positional.begin() + 1, positional.end());
  } else {
    bool countGiven = false;
    for (const std::string& arg : positional) {
      if (std::optional<int64_t> n = ParseNumber(arg); n && arg.size() < 7) {
        if (o.points.empty() || countGiven) {
          return fail(o.command + " takes POINT[:COUNT]... or POINT [COUNT]: '" + arg +
                      "' follows no POINT");
        }
        if (*n < 1 || *n > 65535) {
          return fail(
              "COUNT takes a number from 1 to 65535 (a range longer than one block is "
              "split into several transfers)");
        }
        o.points.back().count = static_cast<int32_t>(*n);
        countGiven = true;
        continue;
      }
      PointSpec spec;
      if (Problem problem = ParsePointSpec(arg, spec)) return problem;
      countGiven = arg.find(':') != std::string::npos;
      o.points.push_back(spec);
    }
  }
  if (o.port.empty()) o.port = std::string(defaultPort);
  if (o.port.empty()) {
    return fail(o.command +
                " needs --port NAME: the serial device, such as /dev/ttyS0 or the simulator's "
                "pseudo-terminal (or TIWAY_PORT, or 'port = ...' in the profile)");
  }
  if (o.port.size() > kMaxPortName) {
    return fail(from("--port") + "port name '" + o.port + "' is " + std::to_string(o.port.size()) +
                " characters long; the driver takes at most 11 (make a shorter symbolic link, "
                "e.g. ln -s " +
                o.port + " /tmp/tw0)");
  }
  return std::nullopt;
}

}  // namespace tiway
