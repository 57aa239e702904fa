// The command line of tiway, on CLI11 (as tiway-sim's): one option table
// gives the parser, --help, the bash completion and the man page. Values are
// taken as text and checked here, so that every mistake is named in the
// words of the driver's records.
#include "tools/cli/cli_args.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <tuple>

namespace tiway {

namespace {

// Option values as given, checked after parsing.
struct Raw {
  std::string baud, dataBits, stopBits, parity, timeout, hostType, instance, interval, polls,
      format, profile;
  std::vector<std::string> args;  // the subcommand's positional arguments
};

// The settings a profile may hold: the global options that take a value or
// are flags. Keys are the option names without "--".
struct ProfileKey {
  const char* key;
  std::string Raw::*text;       // an option with a value kept as text
  std::string Options::*value;  // an option with a value taken as it is
  bool Options::*flag;          // a flag: true/false
};
constexpr ProfileKey kProfileKeys[] = {
    {"port", nullptr, &Options::port, nullptr},
    {"driver", nullptr, &Options::driverPath, nullptr},
    {"baud", &Raw::baud, nullptr, nullptr},
    {"data-bits", &Raw::dataBits, nullptr, nullptr},
    {"stop-bits", &Raw::stopBits, nullptr, nullptr},
    {"parity", &Raw::parity, nullptr, nullptr},
    {"timeout", &Raw::timeout, nullptr, nullptr},
    {"host-type", &Raw::hostType, nullptr, nullptr},
    {"instance", &Raw::instance, nullptr, nullptr},
    {"format", &Raw::format, nullptr, nullptr},
    {"trace", nullptr, nullptr, &Options::trace},
    {"json", nullptr, nullptr, &Options::json},
    {"keep-going", nullptr, nullptr, &Options::keepGoing},
};

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = up;
    }
  }
  return row[b.size()];
}

std::string Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return "";
  const size_t last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

const std::string kValueMark = "\x1F";

constexpr const char* kProfileShown = "~/.config/tiway/profile";

std::string DefaultProfile() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
    return std::string(xdg) + "/tiway/profile";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::string(home) + "/.config/tiway/profile";
  }
  return "";
}

constexpr const char* kCommands = "info, read, write, watch or plot";

const char* kDescription =
    "Loads the zortw driver and talks to a TIWAY I network through its ZorMain entry,\n"
    "exactly as a host application does.\n";

std::string Footer() {
  return "POINT is address text SSTAAAA[B]: station 01..FE, type letter V (words), X, Y, C\n"
         "(discretes) or F (32-bit values, even address), element address 0001..FFFF, and\n"
         "for a single bit of a V word the bit digit 0..F (e.g. 05V0064, 02X001F, 05V0064A).\n"
         "POINT:COUNT (or POINT COUNT) names COUNT elements: words, discretes, or F values\n"
         "(two words each). Ranges longer than one block (62 words, 31 F values, 124\n"
         "discretes) are split into as many block transfers as needed. VALUEs of words\n"
         "are decimal or 0x hexadecimal; an F value is the number given (10, -1, 1.5, -2e3)\n"
         "written as a 32-bit float, or its 32 bits in hex (0x41200000); bits and discretes\n"
         "take 0 or 1. A V point with a bit digit is one bit: 05V10000 is bit 0 of V1000.\n"
         "\n"
         "tiway COMMAND --help lists the options of a command.\n"
         "\n"
         "Settings missing from the command line come from TIWAY_PORT and TIWAY_DRIVER, then\n"
         "from the profile file (--profile, TIWAY_PROFILE or ~/.config/tiway/profile; lines\n"
         "such as 'port = /dev/ttyS0', 'baud = 9600').\n"
         "\n"
         "The driver's log lines go to stderr. Starting configures the network adapter,\n"
         "which takes about 10 seconds. Ctrl-C lets the driver call in progress end, sends\n"
         "nothing more, closes the port and says what was and was not done.\n"
         "\n"
         "exit codes:\n"
         "  0  success\n"
         "  1  bad command line\n"
         "  2  address text or value refused (the rule broken is named)\n"
         "  3  the driver library could not be loaded\n"
         "  4  the port could not be opened (the cause is named)\n"
         "  5  a read or write failed (the driver's status and its meaning are shown)\n"
         "  6  another unexpected driver status (e.g. a command the driver lacks)\n"
         "  7  the adapter configuration failed (go on regardless with --keep-going)\n"
         "  130  interrupted (SIGINT, SIGTERM; Ctrl-C or Ctrl-Break, console closed)\n";
}

std::unique_ptr<CLI::App> MakeApp(Options& o, Raw& raw, std::string_view defaultPort) {
  auto app = std::make_unique<CLI::App>(kDescription, "tiway");
  app->fallthrough();
  app->set_help_flag("-h,--help", "this text");
  app->footer(Footer());
  const std::string portDefault =
      defaultPort.empty() ? std::string("required") : "default " + std::string(defaultPort);
  app->add_option("--port", o.port,
                  "serial device (" + portDefault +
                      "; at most 11 characters; NUL: dummy port; env TIWAY_PORT)")
      ->type_name("NAME");
  app->add_option("--baud", raw.baud, "bits per second (default 19200, at most 65535)")
      ->type_name("N");
  app->add_option("--data-bits", raw.dataBits, "5..8 (default 7)")->type_name("N");
  app->add_option("--stop-bits", raw.stopBits, "1, 1.5 or 2 (default 1)")->type_name("N");
  app->add_option("--parity", raw.parity, "none|odd|even|mark|space (default odd)")->type_name("P");
  app->add_option("--timeout", raw.timeout,
                  "reply time-out in tens of ms (default 100; the driver raises smaller "
                  "values to 100)")
      ->type_name("N");
  app->add_option("--host-type", raw.hostType,
                  "host data type for the definition (default 6 for X, Y, C and single bits, "
                  "0 otherwise)")
      ->type_name("N");
  app->add_option("--instance", raw.instance, "the host's instance number in log lines (default 1)")
      ->type_name("N");
  app->add_option("--driver", o.driverPath,
                  "the driver library (default: beside tiway; env TIWAY_DRIVER)")
      ->type_name("PATH");
  app->add_flag("--trace", o.trace, "show the request and reply frames of each transfer");
  app->add_flag("--json", o.json, "one JSON object per result on stdout");
  app->add_option("--format", raw.format,
                  "values as float, int, hex or bin (default: decimal and hex; F values as "
                  "floats)")
      ->type_name("F");
  app->add_flag("--keep-going", o.keepGoing,
                "go on when the adapter configuration fails (default: stop with exit code 7)");
  app->add_flag("--version", o.version, "the CLI's version");
  app->add_flag("--bash-completion", o.completion, "print the bash completion script");
  app->add_flag("--man-page", o.manPage, "print the man page (roff)");
  app->add_option("--profile", raw.profile,
                  std::string("settings file, lines 'option = value' (default ") + kProfileShown +
                      "; env TIWAY_PROFILE)")
      ->type_name("FILE");

  CLI::App* info = app->add_subcommand("info", "the driver's description and banner");
  info->add_flag("--raw", o.raw, "the banner's code page 437 bytes unconverted");
  info->add_flag("--utf8", o.utf8, "the banner converted to UTF-8 in any case");
  info->add_option("args", raw.args);
  CLI::App* read = app->add_subcommand("read", "read POINT[:COUNT]... (or POINT COUNT)");
  read->add_option("points", raw.args, "POINT[:COUNT] ...");
  read->add_option("--list", o.scanList, "read the points of a scan list file too")
      ->type_name("FILE");
  CLI::App* write =
      app->add_subcommand("write", "write one element per VALUE from POINT on: POINT VALUE...");
  write->add_option("args", raw.args, "POINT VALUE...");
  write->add_flag("--raw-bits", o.rawBits,
                  "F values are their 32 bits as whole numbers (10 writes 0x0000000A; "
                  "without it 10 writes 10.0; 0x... is always the bits)");
  write->add_flag("--allow-nan-inf", o.allowNonFinite,
                  "F values may be nan, inf or -inf (refused otherwise)");
  CLI::App* watch = app->add_subcommand(
      "watch", "poll the points and print the values that change, with statistics at the end");
  watch->add_option("points", raw.args, "POINT[:COUNT] ...");
  watch->add_option("--list", o.scanList, "watch the points of a scan list file too")
      ->type_name("FILE");
  watch
      ->add_option("--interval", raw.interval,
                   "milliseconds between polls (default 1000; 0: back to back)")
      ->type_name("MS");
  watch->add_option("--polls", raw.polls, "stop after N polls (default: until Ctrl-C)")
      ->type_name("N");
  watch->add_option("--csv", o.csvFile, "append every sample to FILE (time,point,value,status)")
      ->type_name("FILE");
  CLI::App* plot = app->add_subcommand("plot", "draw the CSV of a watch as a PNG (gnuplot)");
  plot->add_option("args", raw.args, "CSV");
  plot->add_option("-o,--output", o.plotOutput, "the PNG (default: the CSV's name with .png)")
      ->type_name("PNG");
  return app;
}

std::string Range(std::string_view name, int64_t low, int64_t high) {
  return std::string(name) + " takes a number from " + std::to_string(low) + " to " +
         std::to_string(high);
}

// The message of a CLI11 parse error, in tiway's words.
std::string ParseErrorText(const CLI::ParseError& e, bool commandGiven) {
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

// Reads the profile at path into the settings the command line (and, for the
// port and driver, the environment) left unset. A missing file is an error
// only when it was named. Returns the first error, "FILE:LINE: ...".
template <typename Given>
std::string ApplyProfile(const std::string& path, bool named, const Given& given, Options& o,
                         Raw& raw, std::map<std::string, std::string>& origin) {
  std::error_code code;
  // The default profile is used when it is there to be seen.
  if (!named && !std::filesystem::exists(path, code)) return "";
  if (std::filesystem::is_directory(path, code)) {
    return path + ": the profile is a directory, not a file";
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return path + ": cannot read the profile: " + std::strerror(errno);
  }
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const std::string where = path + ":" + std::to_string(number) + ": ";
    // A '#' starts a comment, outside quotes.
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
      if (quote != 0) {
        if (line[i] == quote) quote = 0;
      } else if (line[i] == '"' || line[i] == '\'') {
        quote = line[i];
      } else if (line[i] == '#') {
        line.resize(i);
        break;
      }
    }
    const std::string text = Trim(line);
    if (text.empty()) continue;
    if (text[0] == '[') return where + "sections are not used: write 'option = value' lines";
    const size_t equals = text.find('=');
    if (equals == std::string::npos) {
      return where + "'" + text + "' is not 'option = value' (e.g. port = /dev/ttyS0)";
    }
    std::string key = Trim(text.substr(0, equals));
    std::string value = Trim(text.substr(equals + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    if (key.rfind("--", 0) == 0) key.erase(0, 2);
    for (char& c : key) c = c == '_' ? '-' : c;
    const ProfileKey* found = nullptr;
    for (const ProfileKey& k : kProfileKeys) {
      if (key == k.key) found = &k;
    }
    if (found == nullptr) {
      std::string known, near;
      for (const ProfileKey& k : kProfileKeys) {
        known += (known.empty() ? "" : ", ") + std::string(k.key);
        if (near.empty() && EditDistance(key, k.key) <= 2) near = k.key;
      }
      return where + "unknown setting '" + key + "'" +
             (near.empty() ? "" : " (did you mean '" + near + "'?)") + "; a profile takes " + known;
    }
    const std::string option = std::string("--") + found->key;
    if (given(option) || origin.count(option) != 0) continue;
    if (found->value != nullptr && !(o.*(found->value)).empty()) continue;  // from the environment
    origin[option] = where + key + " = " + value + ": ";
    if (found->flag != nullptr) {
      if (value == "true" || value == "1" || value == "yes") {
        o.*(found->flag) = true;
      } else if (value == "false" || value == "0" || value == "no") {
        o.*(found->flag) = false;
      } else {
        return origin[option] + key + " takes true or false";
      }
    } else if (value.empty()) {
      return where + key + " needs a value";
    } else if (found->value != nullptr) {
      o.*(found->value) = value;
    } else {
      raw.*(found->text) = value;
    }
  }
  return "";
}

}  // namespace

bool WantsJson(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--json") return true;
  }
  return false;
}

ParseResult ParseArgs(const std::vector<std::string>& args, std::string_view defaultPort) {
  ParseResult result;
  Options& o = result.options;
  auto fail = [&result](std::string message) {
    result.error = std::move(message);
    return result;
  };
  Raw raw;
  std::unique_ptr<CLI::App> app = MakeApp(o, raw, defaultPort);
  try {
    // "-inf" and "-nan" are values, not options: marked so that the parser
    // keeps them as arguments, unmarked after it.
    std::vector<std::string> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) {
      std::string lower = *it;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const bool value = lower == "-inf" || lower == "-nan" || lower == "-infinity";
      reversed.push_back(value ? kValueMark + *it : *it);
    }
    app->parse(reversed);
  } catch (const CLI::CallForHelp&) {
    o.help = true;
    std::vector<CLI::App*> used = app->get_subcommands();
    if (!used.empty()) o.helpCommand = used.back()->get_name();
    return result;
  } catch (const CLI::ParseError& e) {
    return fail(ParseErrorText(e, !app->get_subcommands().empty()));
  }
  if (o.help || o.version || o.completion || o.manPage) return result;
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
    std::string error = path.empty() ? "" : ApplyProfile(path, named, given, o, raw, origin);
    if (!error.empty()) return fail(error);
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
  if (o.command == "info") {
    if (!positional.empty()) return fail("info takes no arguments");
    return result;
  }
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
    return result;
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
      std::string why;
      std::optional<PointSpec> spec = ParsePointSpec(arg, why);
      if (!spec) return fail(why);
      countGiven = arg.find(':') != std::string::npos;
      o.points.push_back(*spec);
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
  return result;
}

std::string UsageText(std::string_view defaultPort, const std::string& command) {
  Options o;
  Raw raw;
  std::unique_ptr<CLI::App> app = MakeApp(o, raw, defaultPort);
  if (command.empty()) return app->help();
  CLI::App* sub = app->get_subcommand(command);
  sub->footer(
      "POINT is address text SSTAAAA[B] (e.g. 05V0064, 02X001F, 05V0064A, 0AF0200).\n"
      "The options every command takes (--port, --baud, --timeout, --json, --trace ...):\n"
      "tiway --help.");
  std::string text = sub->help();
  if (const size_t at = text.find("Usage: " + command); at != std::string::npos) {
    text.insert(at + 7, "tiway [OPTIONS] ");
  }
  return text;
}

namespace {

struct OptionRow {
  std::string name, type, help, command;
};

std::vector<OptionRow> OptionTable(std::vector<std::string>* commands) {
  Options o;
  Raw raw;
  std::unique_ptr<CLI::App> app = MakeApp(o, raw, "");
  std::vector<OptionRow> rows;
  auto collect = [&rows](const CLI::App* from, const std::string& command) {
    for (const CLI::Option* option : from->get_options()) {
      if (option->get_positional()) continue;
      // Each command's help flag is the global one again.
      if (!command.empty() && option == from->get_help_ptr()) continue;
      const std::string name = option->get_name(false, true);
      rows.push_back({name.substr(0, name.find(',')) == name ? name : name, option->get_type_name(),
                      option->get_description(), command});
    }
  };
  collect(app.get(), "");
  for (const CLI::App* sub : app->get_subcommands([](CLI::App*) { return true; })) {
    if (commands != nullptr) commands->push_back(sub->get_name());
    collect(sub, sub->get_name());
  }
  return rows;
}

std::vector<std::string> LongNames(const std::string& names) {
  std::vector<std::string> out;
  std::stringstream stream(names);
  std::string name;
  while (std::getline(stream, name, ',')) out.push_back(name);
  return out;
}

}  // namespace

std::string BashCompletion() {
  std::vector<std::string> commands;
  std::vector<OptionRow> rows = OptionTable(&commands);
  std::string global, script =
                          "# bash completion for tiway (generated: tiway --bash-completion)\n"
                          "_tiway() {\n"
                          "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
                          "  local cmd=\"\" w\n"
                          "  for w in \"${COMP_WORDS[@]:1:COMP_CWORD-1}\"; do\n"
                          "    case $w in ";
  for (size_t i = 0; i < commands.size(); ++i) script += (i ? "|" : "") + commands[i];
  script += ") cmd=$w;; esac\n  done\n  case $prev in\n";
  script +=
      "    --port) COMPREPLY=($(compgen -f -- \"${cur:-/dev/tty}\")); return;;\n"
      "    --parity) COMPREPLY=($(compgen -W 'none odd even mark space' -- \"$cur\")); "
      "return;;\n"
      "    --stop-bits) COMPREPLY=($(compgen -W '1 1.5 2' -- \"$cur\")); return;;\n"
      "    --format) COMPREPLY=($(compgen -W 'float int hex bin' -- \"$cur\")); return;;\n"
      "    --driver|--profile|--list|--csv|-o|--output) COMPREPLY=($(compgen -f -- "
      "\"$cur\")); return;;\n  esac\n  local opts=\"";
  for (const OptionRow& row : rows) {
    if (row.command.empty()) {
      for (const std::string& n : LongNames(row.name)) global += n + " ";
    }
  }
  script += global + "\"\n  case $cmd in\n";
  for (const std::string& command : commands) {
    script += "    " + command + ") opts=\"$opts ";
    for (const OptionRow& row : rows) {
      if (row.command != command) continue;
      for (const std::string& n : LongNames(row.name)) script += n + " ";
    }
    script += "\";;\n";
  }
  script += "    \"\") opts=\"$opts ";
  for (const std::string& command : commands) script += command + " ";
  script +=
      "\";;\n  esac\n  COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n}\n"
      "complete -F _tiway tiway tiway.exe\n";
  return script;
}

std::string ManPage() {
  std::vector<std::string> commands;
  std::vector<OptionRow> rows = OptionTable(&commands);
  auto roff = [](std::string text) {
    std::string out;
    for (char c : text) {
      if (c == '\\') {
        out += "\\e";
      } else if (c == '-') {
        out += "\\-";
      } else {
        out += c;
      }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
    return out;
  };
  std::string page =
      ".TH TIWAY 1 \"\" \"zortw " ZORTW_VERSION
      "\" \"User Commands\"\n.SH NAME\ntiway \\- command-line host of the zortw TIWAY I driver\n"
      ".SH SYNOPSIS\n.B tiway\n[\\fIoptions\\fR] \\fIcommand\\fR [\\fIarguments\\fR]\n"
      ".SH DESCRIPTION\n" +
      roff(kDescription) + ".SH COMMANDS\n";
  Options o;
  Raw raw;
  std::unique_ptr<CLI::App> app = MakeApp(o, raw, "");
  for (const CLI::App* sub : app->get_subcommands([](CLI::App*) { return true; })) {
    page += ".TP\n.B " + sub->get_name() + "\n" + roff(sub->get_description()) + "\n";
  }
  auto section = [&](const std::string& title, const std::string& command) {
    page += ".SH " + title + "\n";
    for (const OptionRow& row : rows) {
      if (row.command != command) continue;
      page += ".TP\n.B " + roff(row.name) + (row.type.empty() ? "" : " \\fI" + row.type + "\\fR") +
              "\n" + roff(row.help) + "\n";
    }
  };
  section("OPTIONS", "");
  for (const std::string& command : commands) {
    bool any = false;
    for (const OptionRow& row : rows) any = any || row.command == command;
    if (any) section("OPTIONS OF " + command, command);
  }
  page += ".SH NOTES\n.nf\n" + roff(Footer()) + ".fi\n";
  return page;
}

}  // namespace tiway
