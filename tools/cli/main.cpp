// tiway: a command-line host for the zortw driver (commissioning and
// diagnosis). See UsageText for the commands and exit codes.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/cli/cli_args.h"
#include "tools/cli/cli_text.h"
#include "tools/cli/platform.h"
#include "tools/cli/session.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
  g_interrupted = 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const tiway::ParseResult parsed = tiway::ParseArgs(args, tiway::DefaultPortName());
  if (!parsed.error.empty()) {
    std::cerr << "tiway: " << parsed.error << "\n(tiway --help lists commands and options)\n";
    return tiway::kExitUsage;
  }
  const tiway::Options& options = parsed.options;
  if (options.help) {
    std::cout << tiway::UsageText(tiway::DefaultPortName());
    return tiway::kExitOk;
  }
  if (options.version) {
    std::cout << "tiway " << ZORTW_VERSION << "\n";
    return tiway::kExitOk;
  }

  const tiway::LoadedDriver driver = tiway::LoadDriver(options.driverPath);
  if (driver.zorMain == nullptr) {
    if (options.json) {
      std::cout << "{\"command\":" << tiway::JsonString(options.command)
                << ",\"ok\":false,\"exitCode\":" << tiway::kExitNoDriver
                << ",\"error\":" << tiway::JsonString(driver.error) << "}\n";
    } else {
      std::cerr << "tiway: " << driver.error << "\n";
    }
    return tiway::kExitNoDriver;
  }

  std::signal(SIGINT, OnInterrupt);
  tiway::Host host;
  host.zorMain = driver.zorMain;
  host.driverPath = driver.path;
  host.takeLog = [] { return tiway::TakeDriverLog(); };
  host.progressTerminal = tiway::StderrIsTerminal();
  host.utf8Stdout = tiway::StdoutTakesUtf8();
  host.interrupted = [] { return g_interrupted != 0; };
  return tiway::Run(options, host, std::cout, std::cerr);
}
