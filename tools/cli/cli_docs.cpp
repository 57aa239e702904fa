// --help, the bash completion and the man page, generated from the option
// table the parser uses.
#include <sstream>

#include "tools/cli/cli_app.h"

namespace tiway {

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
  // The footer's notes, and its exit codes as a section of their own.
  const std::string footer = Footer();
  const size_t codes = footer.find("exit codes:\n");
  page += ".SH NOTES\n.nf\n" + roff(footer.substr(0, codes)) + ".fi\n";
  if (codes != std::string::npos) {
    page += ".SH EXIT STATUS\n.nf\n" + roff(footer.substr(codes + 12)) + ".fi\n";
  }
  page +=
      ".SH ENVIRONMENT\n"
      ".TP\n.B TIWAY_PORT\nthe port when \\fB\\-\\-port\\fR is not given\n"
      ".TP\n.B TIWAY_DRIVER\nthe driver library when \\fB\\-\\-driver\\fR is not given\n"
      ".TP\n.B TIWAY_PROFILE\nthe profile file when \\fB\\-\\-profile\\fR is not given\n"
      ".TP\n.B XDG_CONFIG_HOME\nwhere the default profile lies "
      "(\\fI$XDG_CONFIG_HOME/tiway/profile\\fR)\n"
      ".SH FILES\n"
      ".TP\n.I ~/.config/tiway/profile\n"
      "the default profile: lines \\fIoption\\fR = \\fIvalue\\fR, the global options' names "
      "without \\-\\-\n"
      ".TP\n.I /usr/share/doc/tiway\\-tools/tiway.md\n"
      "the reference: commands, output, records, exit codes\n"
      ".SH EXAMPLES\n"
      "Read four V words of station 05, write one, and watch an F value:\n"
      ".PP\n.RS\n.nf\n"
      "tiway \\-\\-port ttyUSB0 read 05V0064:4\n"
      "tiway \\-\\-port ttyUSB0 write 05V0064 1234\n"
      "tiway \\-\\-port ttyUSB0 watch 0AF0200\n"
      ".fi\n.RE\n"
      ".SH SEE ALSO\n.BR tiway\\-sim (1),\n.BR tiway\\-gateway (8)\n";
  return page;
}

}  // namespace tiway
