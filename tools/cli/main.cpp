// tiway: a command-line host for the zortw driver (commissioning and
// diagnosis). See UsageText for the commands and exit codes.
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/cli/cli_args.h"
#include "tools/cli/platform.h"
#include "tools/cli/result.h"
#include "tools/cli/session.h"

int main(int argc, char** argv) {
  // Before any thread starts: the signals are only ever noted, and the run
  // looks at the note between the driver's calls.
  tiway::InstallInterruptHandling();
  std::vector<std::string> args(argv + 1, argv + argc);
  tiway::Options options;
  if (const tiway::Problem problem = tiway::ParseArgs(args, tiway::DefaultPortName(), options)) {
    if (tiway::WantsJson(args)) {
      std::cout << tiway::ToJson(tiway::Failure("usage", tiway::kExitUsage, *problem), {}).dump()
                << "\n";
    } else {
      std::cerr << "tiway: " << *problem << "\n(tiway --help lists commands and options)\n";
    }
    return tiway::kExitUsage;
  }
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

  tiway::LoadedDriver driver;
  if (const tiway::Problem problem = tiway::LoadDriver(options.driverPath, driver)) {
    if (options.json) {
      std::cout << tiway::ToJson(tiway::Failure(options.command, tiway::kExitNoDriver, *problem),
                                 {})
                       .dump()
                << "\n";
    } else {
      std::cerr << "tiway: " << *problem << "\n";
    }
    return tiway::kExitNoDriver;
  }
  host.zorMain = driver.zorMain;
  host.driverPath = driver.path;
  host.takeLog = [] { return tiway::TakeDriverLog(); };
  return tiway::Run(options, host, std::cout, std::cerr);
}
