#include "tools/cli/cli_app.h"

namespace tiway {

const char* const kDescription =
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
         "A VALUE may start with '-' (write 05V0064 -5); after -- every argument is a\n"
         "VALUE, so the options go before it.\n"
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

}  // namespace tiway
