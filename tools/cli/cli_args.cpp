// The command line of tiway, on CLI11 (as tiway-sim's): one option table
// gives the parser, --help, the bash completion and the man page. Values are
// taken as text and checked here, so that every mistake is named in the
// words of the driver's records.
#include "tools/cli/cli_args.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <tuple>

namespace tiway {

namespace {

// Option values as given, checked after parsing.
struct Raw {
  std::string baud, dataBits, stopBits, parity, timeout, hostType, instance, interval, polls,
      format;
  std::vector<std::string> args;  // the subcommand's positional arguments
};

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
         "discretes) are split into as many block transfers as needed. VALUEs are decimal\n"
         "or 0x hexadecimal; F values also take floats (1.5); bits and discretes 0 or 1.\n"
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
  app->set_config("--profile", DefaultProfile(), "settings file (lines 'option = value')")
      ->envname("TIWAY_PROFILE")
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
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app->parse(reversed);
  } catch (const CLI::CallForHelp&) {
    o.help = true;
    return result;
  } catch (const CLI::ParseError& e) {
    return fail(ParseErrorText(e, !app->get_subcommands().empty()));
  }
  if (o.help || o.version || o.completion || o.manPage) return result;
  // The environment comes between the command line and the profile.
  auto given = [&args](const std::string& name) {
    for (const std::string& arg : args) {
      if (arg == "--") break;
      if (arg == name || arg.rfind(name + "=", 0) == 0) return true;
    }
    return false;
  };
  for (auto [name, variable, field] :
       {std::tuple{"--port", "TIWAY_PORT", &o.port}, {"--driver", "TIWAY_DRIVER", &o.driverPath}}) {
    const char* value = std::getenv(variable);
    if (!given(name) && value != nullptr && *value != '\0') *field = value;
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
      return fail("--baud " + raw.baud +
                  " cannot be carried: the driver's line settings hold the rate in 16 bits "
                  "(at most 65535)");
    }
    uint16_t baud = 0;
    if (!number(raw.baud, 1, 65535, baud)) return fail(Range("--baud", 1, 65535));
    o.baud = baud;
  }
  if (!raw.dataBits.empty()) {
    uint16_t bits = 0;
    if (!number(raw.dataBits, 5, 8, bits)) return fail(Range("--data-bits", 5, 8));
    o.dataBits = bits;
  }
  if (!raw.stopBits.empty()) {
    o.stopBits = ParseStopBits(raw.stopBits);
    if (!o.stopBits)
      return fail("--stop-bits takes 1, 1.5 or 2 (stop bits); given " + raw.stopBits);
  }
  if (!raw.parity.empty()) {
    o.parity = ParseParity(raw.parity);
    if (!o.parity) return fail("--parity takes none, odd, even, mark or space (or 0 to 4)");
  }
  if (!raw.timeout.empty() && !number(raw.timeout, -2147483647ll - 1, 2147483647, o.timeout)) {
    return fail("--timeout takes a whole number of tens of milliseconds");
  }
  if (!raw.hostType.empty()) {
    int32_t type = 0;
    if (!number(raw.hostType, -2147483647ll - 1, 2147483647, type)) {
      return fail("--host-type takes a whole number");
    }
    o.hostType = type;
  }
  if (!raw.instance.empty() && !number(raw.instance, 0, 2147483647, o.instance)) {
    return fail(Range("--instance", 0, 2147483647));
  }
  if (!raw.interval.empty() && !number(raw.interval, 0, 86400000, o.intervalMs)) {
    return fail(Range("--interval", 0, 86400000));
  }
  if (!raw.polls.empty() && !number(raw.polls, 0, 2147483647, o.polls)) {
    return fail(Range("--polls", 0, 2147483647));
  }
  if (!raw.format.empty()) {
    std::optional<ValueFormat> format = ParseValueFormat(raw.format);
    if (!format) return fail("--format takes float, int, hex or bin");
    o.format = *format;
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
    o.points.push_back({positional[0], static_cast<int32_t>(positional.size() - 1)});
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
    return fail("port name '" + o.port + "' is " + std::to_string(o.port.size()) +
                " characters long; the driver takes at most 11 (make a shorter symbolic link, "
                "e.g. ln -s " +
                o.port + " /tmp/tw0)");
  }
  return result;
}

std::string UsageText(std::string_view defaultPort) {
  Options o;
  Raw raw;
  return MakeApp(o, raw, defaultPort)->help();
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
