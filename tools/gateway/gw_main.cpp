// tiway-gateway: the TIWAY I network served over Modbus TCP. Loads the
// driver at run time (one instance per serial line, each on a thread of its
// own), polls the configured points into a cache and answers Modbus clients
// from it.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdarg>
#include <iostream>

#include "tools/common/driver_library.h"
#include "tools/gateway/gw_config.h"
#include "tools/gateway/gw_gateway.h"
#include "tools/gateway/gw_plan.h"
#include "tools/gateway/gw_server.h"

namespace {

gateway::Gateway* g_gateway = nullptr;

int DriverLog(int /*level*/, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = zortw_tools::FormatDriverLine(format, args);
  va_end(args);
  gateway::Log("driver: " + line);
  if (g_gateway != nullptr) g_gateway->NoteDriverLine(line);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tiway-gateway: the TIWAY I network served over Modbus TCP"};
  std::string configPath, driverPath, listen;
  bool check = false, noCoalesce = false;
  int port = -1, maxClients = 0;
  app.add_option("--config", configPath, "configuration file (TOML)")->required();
  app.add_flag("--check", check, "check the file and print the plan; open no line");
  app.add_option("--listen", listen, "listen address (default: the file's, else 127.0.0.1)");
  app.add_option("--port", port, "TCP port (default: the file's, else 5020; 0 picks a free one)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--max-clients", maxClients, "concurrent Modbus clients (default 64)")
      ->check(CLI::Range(1, 1000));
  app.add_option("--driver", driverPath,
                 "driver library (default: libzortw.so beside the gateway)");
  app.add_flag("--no-coalesce", noCoalesce, "read every configured range on its own (comparison)");
  app.set_version_flag("--version", std::string("tiway-gateway ") + ZORTW_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 1;  // --help: 0; a bad command line: 1
  }

  gateway::ConfigResult loaded = gateway::LoadConfig(configPath);
  if (!loaded.config) {
    std::cerr << "tiway-gateway: " << loaded.error << "\n";
    return 2;
  }
  gateway::Config config = *loaded.config;
  if (!listen.empty()) config.listen = listen;
  if (port >= 0) config.port = port;
  if (maxClients > 0) config.maxClients = maxClients;
  if (!driverPath.empty()) config.driver = driverPath;
  const gateway::Plan plan = gateway::MakePlan(config, !noCoalesce);
  std::cout << gateway::DescribePlan(config, plan) << std::flush;
  if (check) {
    std::cout << "configuration ok: " << config.lines.size() << " lines, " << config.units.size()
              << " units\n";
    return 0;
  }

  // Signals are taken from a signalfd by the main loop; every thread
  // started below inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGTERM, SIGINT, SIGUSR1}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

  const zortw_tools::DriverLibrary driver =
      zortw_tools::LoadDriverLibrary(config.driver, &DriverLog);
  if (!driver.error.empty()) {
    std::cerr << "tiway-gateway: " << driver.error << "\n";
    return 3;
  }
  gateway::Gateway core(config, plan, driver.zorMain);
  g_gateway = &core;
  gateway::Server server(core, config.maxClients);
  const std::string error = server.Listen(config.listen, config.port);
  if (!error.empty()) {
    std::cerr << "tiway-gateway: " << error << "\n";
    return 4;
  }
  std::cout << "tiway-gateway: listening on " << config.listen << ":" << server.Port() << std::endl;
  gateway::Log("listening on " + config.listen + ":" + std::to_string(server.Port()) +
               ", diagnostics unit " + std::to_string(config.diagnosticsUnit));
  core.Start();

  auto nextStats = gateway::Clock::now() + std::chrono::seconds(config.statsIntervalS);
  auto nextProgress = gateway::Clock::now() + std::chrono::seconds(1);
  bool running = true;
  while (running) {
    pollfd fds[2] = {{server.ListenFd(), POLLIN, 0}, {signalFd, POLLIN, 0}};
    const int ready = poll(fds, 2, 1000);
    const auto now = gateway::Clock::now();
    if (ready > 0 && (fds[0].revents & POLLIN)) server.AcceptOne();
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      signalfd_siginfo info{};
      if (read(signalFd, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGUSR1) {
          std::string stats = core.StatsText(now);
          stats.pop_back();
          gateway::Log(stats);
        } else {
          gateway::Log(std::string("signal ") + (info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT") +
                       ": stopping");
          running = false;
        }
      }
    }
    if (now >= nextProgress) {
      if (const std::string progress = core.Progress(now); !progress.empty()) {
        gateway::Log("start-up: " + progress);
      }
      nextProgress = now + std::chrono::seconds(1);
    }
    if (now >= nextStats) {
      std::string stats = core.StatsText(now);
      stats.pop_back();
      gateway::Log(stats);
      nextStats = now + std::chrono::seconds(config.statsIntervalS);
    }
    server.Reap();
  }
  // Lines first: each finishes its transaction and answers its queued
  // writes, so no client thread waits for a line any more.
  core.Stop();
  server.Shutdown();
  g_gateway = nullptr;
  gateway::Log("stopped");
  return 0;
}
