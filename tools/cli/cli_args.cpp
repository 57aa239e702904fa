#include "tools/cli/cli_args.h"

#include <type_traits>

#include "tools/cli/cli_text.h"

namespace tiway {

namespace {

// Options that take a value.
bool TakesValue(std::string_view name) {
  static constexpr std::string_view kNames[] = {
      "--port",      "--baud",     "--data-bits", "--stop-bits", "--parity", "--timeout",
      "--host-type", "--instance", "--driver",    "--interval",  "--polls"};
  for (std::string_view n : kNames) {
    if (n == name) return true;
  }
  return false;
}

std::string Range(std::string_view name, int64_t low, int64_t high) {
  return std::string(name) + " takes a number from " + std::to_string(low) + " to " +
         std::to_string(high);
}

}  // namespace

ParseResult ParseArgs(const std::vector<std::string>& args, std::string_view defaultPort) {
  ParseResult result;
  Options& o = result.options;
  std::vector<std::string> positional;
  auto fail = [&result](std::string message) {
    result.error = std::move(message);
    return result;
  };

  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--") {
      for (++i; i < args.size(); ++i) positional.push_back(args[i]);
      break;
    }
    // A negative number is a value (write 01V0001 -5), not an option.
    if (arg.size() < 2 || arg[0] != '-' || ParseNumber(arg, true)) {
      positional.push_back(arg);
      continue;
    }
    std::string name = arg;
    std::optional<std::string> value;
    if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    if (TakesValue(name)) {
      if (!value) {
        if (i + 1 >= args.size()) return fail(name + " needs a value");
        value = args[++i];
      }
    } else if (value) {
      return fail(name + " takes no value");
    }
    auto number = [&](int64_t low, int64_t high, auto& field) -> bool {
      std::optional<int64_t> n = ParseNumber(*value, low < 0);
      if (!n || *n < low || *n > high) return false;
      field = static_cast<std::remove_reference_t<decltype(field)>>(*n);
      return true;
    };
    if (name == "-h" || name == "--help") {
      o.help = true;
    } else if (name == "--version") {
      o.version = true;
    } else if (name == "--trace") {
      o.trace = true;
    } else if (name == "--json") {
      o.json = true;
    } else if (name == "--raw") {
      o.raw = true;
    } else if (name == "--utf8") {
      o.utf8 = true;
    } else if (name == "--port") {
      o.port = *value;
    } else if (name == "--driver") {
      o.driverPath = *value;
    } else if (name == "--baud") {
      std::optional<int64_t> n = ParseNumber(*value);
      if (n && *n > 65535) {
        return fail("--baud " + *value +
                    " cannot be carried: the driver's line settings hold the rate in 16 bits "
                    "(at most 65535)");
      }
      uint16_t baud = 0;
      if (!number(1, 65535, baud)) return fail(Range(name, 1, 65535));
      o.baud = baud;
    } else if (name == "--data-bits") {
      uint16_t bits = 0;
      if (!number(5, 8, bits)) return fail(Range(name, 5, 8));
      o.dataBits = bits;
    } else if (name == "--stop-bits") {
      uint16_t code = 0;
      if (!number(0, 2, code)) {
        return fail("--stop-bits takes the code 0 (one stop bit), 1 (one and a half) or 2 (two)");
      }
      o.stopBits = code;
    } else if (name == "--parity") {
      std::optional<uint16_t> parity = ParseParity(*value);
      if (!parity) return fail("--parity takes none, odd, even, mark or space (or 0 to 4)");
      o.parity = parity;
    } else if (name == "--timeout") {
      if (!number(-2147483647ll - 1, 2147483647, o.timeout)) {
        return fail("--timeout takes a whole number of tens of milliseconds");
      }
    } else if (name == "--host-type") {
      int32_t type = 0;
      if (!number(-2147483647ll - 1, 2147483647, type)) {
        return fail("--host-type takes a whole number");
      }
      o.hostType = type;
    } else if (name == "--instance") {
      if (!number(0, 2147483647, o.instance)) return fail(Range(name, 0, 2147483647));
    } else if (name == "--interval") {
      if (!number(10, 86400000, o.intervalMs)) return fail(Range(name, 10, 86400000));
    } else if (name == "--polls") {
      if (!number(0, 2147483647, o.polls)) return fail(Range(name, 0, 2147483647));
    } else {
      return fail("unknown option " + name);
    }
  }
  if (o.help || o.version) return result;
  if (positional.empty()) return fail("no command given (info, read, write or watch)");

  o.command = positional[0];
  const size_t given = positional.size() - 1;
  if (o.command == "info") {
    if (given != 0) return fail("info takes no arguments");
    return result;
  }
  if (o.command != "read" && o.command != "write" && o.command != "watch") {
    return fail("unknown command '" + o.command + "' (info, read, write or watch)");
  }
  if (given == 0) return fail(o.command + " needs a POINT, such as 05V0064");
  o.point = positional[1];
  if (o.command == "write") {
    if (given < 2) return fail("write needs at least one VALUE after the POINT");
    o.values.assign(positional.begin() + 2, positional.end());
    o.count = static_cast<int32_t>(o.values.size());
  } else {
    if (given > 2) return fail(o.command + " takes POINT [COUNT]");
    if (given == 2) {
      std::optional<int64_t> n = ParseNumber(positional[2]);
      if (!n || *n < 1 || *n > 65535) return fail("COUNT takes a number from 1 to 65535");
      o.count = static_cast<int32_t>(*n);
    }
  }
  if (o.port.empty()) o.port = std::string(defaultPort);
  if (o.port.empty()) {
    return fail(o.command +
                " needs --port NAME: the serial device, such as /dev/ttyS0 or the simulator's "
                "pseudo-terminal");
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
  std::string portDefault =
      defaultPort.empty() ? std::string("required") : "default " + std::string(defaultPort);
  return "usage: tiway [options] COMMAND [arguments]\n"
         "\n"
         "Loads the zortw driver and talks to a TIWAY I network through its ZorMain entry,\n"
         "exactly as a host application does.\n"
         "\n"
         "commands:\n"
         "  info                    the driver's description and banner\n"
         "  read POINT [COUNT]      read COUNT elements from POINT (default 1)\n"
         "  write POINT VALUE...    write one element per VALUE from POINT on\n"
         "  watch POINT [COUNT]     poll POINT and print the values that change\n"
         "\n"
         "POINT is address text SSTAAAA[B]: station 01..FE, type letter V (words), X, Y, C\n"
         "(discretes) or F (32-bit values, even address), element address 0001..FFFF, and\n"
         "for a single bit of a V word the bit digit 0..F (e.g. 05V0064, 02X001F, 05V0064A).\n"
         "COUNT counts elements: words, discretes, or F values (two words each). Blocks\n"
         "hold at most 62 words or 124 discretes. VALUEs are decimal or 0x hexadecimal; bits\n"
         "and discretes take 0 or 1.\n"
         "\n"
         "options:\n"
         "  --port NAME             serial device (" +
         portDefault +
         "; at most 11 characters; NUL: dummy port)\n"
         "  --baud N                bits per second (default 19200, at most 65535)\n"
         "  --data-bits N           5..8 (default 7)\n"
         "  --stop-bits N           0 one, 1 one and a half, 2 two (default 0)\n"
         "  --parity P              none|odd|even|mark|space (default odd)\n"
         "  --timeout N             reply time-out in tens of ms (default 100; the driver\n"
         "                          raises smaller values to 100)\n"
         "  --host-type N           host data type for the definition (default 6 for X, Y,\n"
         "                          C and single bits, 0 otherwise)\n"
         "  --instance N            the host's instance number in log lines (default 1)\n"
         "  --trace                 show the request and reply frames of each transfer\n"
         "  --json                  one JSON object per result on stdout\n"
         "  --interval MS           watch: milliseconds between polls (default 1000)\n"
         "  --polls N               watch: stop after N polls (default: until Ctrl-C)\n"
         "  --raw                   info: the banner's code page 437 bytes unconverted\n"
         "  --utf8                  info: the banner converted to UTF-8 in any case\n"
         "  --driver PATH           the driver library (default: beside tiway)\n"
         "  -h, --help              this text\n"
         "  --version               the CLI's version\n"
         "\n"
         "The driver's log lines go to stderr. Starting configures the network adapter,\n"
         "which takes about 10 seconds.\n"
         "\n"
         "exit codes:\n"
         "  0  success\n"
         "  1  bad command line\n"
         "  2  address text or value refused (the rule broken is named)\n"
         "  3  the driver library could not be loaded\n"
         "  4  the port could not be opened\n"
         "  5  a read or write failed (the driver's status and its meaning are shown)\n"
         "  6  another unexpected driver status (e.g. a command the driver lacks)\n";
}

}  // namespace tiway
