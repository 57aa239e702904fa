// tiway: a command-line host for the zortw driver (commissioning and
// diagnosis). See UsageText for the commands and exit codes.
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/cli/cli_args.h"
#include "tools/cli/cli_text.h"
#include "tools/cli/platform.h"
#include "tools/cli/result.h"
#include "tools/cli/session.h"

int main(int argc, char** argv) {
  // Before any thread starts: the signals are only ever noted, and the run
  // looks at the note between the driver's calls.
  tiway::InstallInterruptHandling();
  std::vector<std::string> args(argv + 1, argv + argc);
  const tiway::ParseResult parsed = tiway::ParseArgs(args, tiway::DefaultPortName());
  if (!parsed.error.empty()) {
    if (tiway::WantsJson(args)) {
      std::cout
          << tiway::ToJson(tiway::Failure("usage", tiway::kExitUsage, parsed.error), {}).dump()
          << "\n";
    } else {
      std::cerr << "tiway: " << parsed.error << "\n(tiway --help lists commands and options)\n";
    }
    return tiway::kExitUsage;
  }
  const tiway::Options& options = parsed.options;
  if (options.help) {
    std::cout << tiway::UsageText(tiway::DefaultPortName(), options.helpCommand);
    return tiway::kExitOk;
  }
  if (options.version) {
    std::cout << "tiway " << ZORTW_VERSION << "\n";
    return tiway::kExitOk;
  }
  if (options.completion) {
    std::cout << tiway::BashCompletion();
    return tiway::kExitOk;
  }
  if (options.manPage) {
    std::cout << tiway::ManPage();
    return tiway::kExitOk;
  }

  tiway::Host host;
  host.interrupted = [] { return tiway::InterruptArrived(); };
  host.progressTerminal = tiway::StderrIsTerminal();
  host.utf8Stdout = tiway::StdoutTakesUtf8();
  if (options.command == "plot") return tiway::Run(options, host, std::cout, std::cerr);

  const tiway::LoadedDriver driver = tiway::LoadDriver(options.driverPath);
  if (driver.zorMain == nullptr) {
    if (options.json) {
      std::cout << tiway::ToJson(
                       tiway::Failure(options.command, tiway::kExitNoDriver, driver.error), {})
                       .dump()
                << "\n";
    } else {
      std::cerr << "tiway: " << driver.error << "\n";
    }
    return tiway::kExitNoDriver;
  }
  host.zorMain = driver.zorMain;
  host.driverPath = driver.path;
  host.takeLog = [] { return tiway::TakeDriverLog(); };
  return tiway::Run(options, host, std::cout, std::cerr);
}
