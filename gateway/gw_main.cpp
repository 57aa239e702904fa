// tiway-gateway: the TIWAY I network served over Modbus TCP. Loads the
// driver at run time (one instance per serial line, each on a thread of its
// own), polls the configured points into a cache and answers Modbus clients
// from it.
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <CLI/CLI.hpp>
#include <cstdarg>
#include <functional>
#include <iostream>
#include <thread>

#include "gateway/gw_config.h"
#include "gateway/gw_gateway.h"
#include "gateway/gw_plan.h"
#include "gateway/mqtt/mq_gateway.h"
#include "gateway/net/metrics_server.h"
#include "gateway/net/server.h"
#include "host/driver.h"

namespace {

gateway::Gateway* g_gateway = nullptr;

int DriverLog(int /*level*/, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = zortw_host::FormatDriverLine(format, args);
  va_end(args);
  gateway::Log("driver: " + line);
  if (g_gateway != nullptr) g_gateway->NoteDriverLine(line);
  return 0;
}

std::string Plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Whether the address can be bound in its family (a free port, closed at once).
std::string CheckBindable(const std::string& address) {
  asio::io_context io;
  asio::error_code ec;
  const asio::ip::address ip = asio::ip::make_address(address, ec);
  if (ec) return "listen address '" + address + "' is not an IPv4 or IPv6 address";
  asio::ip::tcp::acceptor acceptor(io);
  acceptor.open(ip.is_v6() ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), ec);
  if (!ec) acceptor.bind(asio::ip::tcp::endpoint(ip, 0), ec);
  if (ec) return "listen address '" + address + "' cannot be bound on this host: " + ec.message();
  return "";
}

bool Loopback(const std::string& address) {
  asio::error_code ec;
  const asio::ip::address ip = asio::ip::make_address(address, ec);
  return !ec && ip.is_loopback();
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
      ->check(CLI::Range(1, 4096));
  app.add_option(
      "--driver", driverPath,
      "driver library (default: libzortw.so beside the gateway, else the installed one)");
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
  // The command line's values win over the file's (at start and at each reload).
  const auto override = [&](gateway::Config& c) {
    if (!listen.empty()) c.listen = listen;
    if (port >= 0) c.port = port;
    if (maxClients > 0) c.maxClients = maxClients;
    if (!driverPath.empty()) c.driver = driverPath;
  };
  gateway::Config config = *loaded.config;
  override(config);
  const gateway::Plan plan = gateway::MakePlan(config, !noCoalesce);
  std::string metricsHost;
  int metricsPort = 0;
  if (!config.metrics.empty()) gateway::SplitHostPort(config.metrics, metricsHost, metricsPort);
  const std::string tlsListen = config.tls.listen.empty() ? config.listen : config.tls.listen;
  for (const std::string& address :
       {config.listen, metricsHost, config.tls.enabled ? tlsListen : std::string()}) {
    if (address.empty()) continue;
    if (const std::string bind = CheckBindable(address); !bind.empty()) {
      std::cerr << "tiway-gateway: " << configPath << ": " << bind << "\n";
      return 2;
    }
  }
  std::cout << gateway::DescribePlan(config, plan) << std::flush;
  if (check) {
    std::cout << "configuration ok: " << Plural(config.lines.size(), "line", "lines") << ", "
              << Plural(config.units.size(), "unit", "units") << ", "
              << Plural(config.clients.size(), "client rule", "client rules") << "\n";
    return 0;
  }
  gateway::Log(std::string("tiway-gateway ") + ZORTW_VERSION + " starting: " + configPath + ", " +
               Plural(config.lines.size(), "line", "lines") + ", " +
               Plural(config.units.size(), "unit", "units"));
  if (config.clients.empty() && !Loopback(config.listen)) {
    gateway::Log("warning: listening on " + config.listen +
                 " with no [[client]] rule: any host that reaches it may read, and write every "
                 "writable table");
  }
  if (config.clients.empty() && !metricsHost.empty() && !Loopback(metricsHost)) {
    gateway::Log("warning: metrics on " + config.metrics +
                 " with no [[client]] rule: any host that reaches it reads the counters");
  }

  signal(SIGPIPE, SIG_IGN);
  const zortw_host::Driver driver = zortw_host::LoadDriver(config.driver, &DriverLog);
  if (!driver.error.empty()) {
    std::cerr << "tiway-gateway: " << driver.error << "\n";
    return 3;
  }
  asio::io_context io;
  // Signals reach the loop through Asio's handler, whichever thread takes them.
  asio::signal_set signals(io, SIGTERM, SIGINT, SIGUSR1);
  signals.add(SIGHUP);
  gateway::Gateway core(config, plan, driver.zorMain);
  g_gateway = &core;
  gateway::Server::Limits limits;
  limits.maxClients = config.maxClients;
  limits.maxPerAddress = config.maxClientsPerAddress;
  limits.idleTimeout = std::chrono::seconds(config.idleTimeoutS);
  limits.requestTimeout = std::chrono::milliseconds(config.requestTimeoutMs);
  gateway::Server server(io, core, limits);
  const std::string error = server.Listen(config.listen, config.port);
  if (!error.empty()) {
    std::cerr << "tiway-gateway: " << error << "\n";
    return 4;
  }
  std::cout << "tiway-gateway: listening on " << config.listen << ":" << server.Port() << std::endl;
  gateway::Log("listening on " + config.listen + ":" + std::to_string(server.Port()) +
               ", diagnostics unit " + std::to_string(config.diagnosticsUnit));
  if (config.tls.enabled) {
    if (const std::string failed = server.ListenTls(tlsListen, config.tls.port); !failed.empty()) {
      std::cerr << "tiway-gateway: " << failed << "\n";
      return 4;
    }
    std::cout << "tiway-gateway: listening (TLS) on " << tlsListen << ":" << server.TlsPort()
              << std::endl;
    gateway::Log("listening (TLS, Modbus/TCP Security) on " + tlsListen + ":" +
                 std::to_string(server.TlsPort()));
  }
  gateway::MetricsServer metrics(io, core);
  if (!config.metrics.empty()) {
    if (const std::string failed = metrics.Listen(metricsHost, metricsPort); !failed.empty()) {
      std::cerr << "tiway-gateway: " << failed << "\n";
      return 4;
    }
    gateway::Log(
        "metrics: listening on " +
        (metricsHost.find(':') != std::string::npos ? "[" + metricsHost + "]" : metricsHost) + ":" +
        std::to_string(metrics.Port()) + ", GET /metrics");
  }
  // The Sparkplug B edge node ([mqtt]), told of every block read from here on.
  std::unique_ptr<mqtt::GatewayEdge> edge;
  const auto startEdge = [&](const gateway::Config& c, const gateway::Plan& p) {
    std::string failed;
    if (c.mqtt.enabled && !(edge = mqtt::GatewayEdge::Start(c, p, core, io, failed))) {
      gateway::Log("mqtt: cannot start: " + failed);
      return false;
    }
    return true;
  };
  if (!startEdge(config, plan)) {
    std::cerr << "tiway-gateway: mqtt: cannot start\n";
    return 5;
  }
  core.Start();
  // systemd (Type=notify): ready once the socket listens and the lines run;
  // the watchdog is fed from this loop, so a loop that hangs is restarted.
  sd_notify(0,
            ("READY=1\nSTATUS=listening on " + config.listen + ":" + std::to_string(server.Port()))
                .c_str());
  asio::steady_timer watchdogTimer(io);
  uint64_t watchdogUs = 0;
  std::function<void()> watchdog = [&] {
    sd_notify(0, "WATCHDOG=1");
    watchdogTimer.expires_after(std::chrono::microseconds(watchdogUs / 2));
    watchdogTimer.async_wait([&](const asio::error_code& ec) {
      if (!ec) watchdog();
    });
  };
  if (sd_watchdog_enabled(0, &watchdogUs) > 0 && watchdogUs > 0) watchdog();

  // Counters every stats_interval_s; start-up progress every second.
  asio::steady_timer statsTimer(io), progressTimer(io);
  std::function<void()> stats = [&] {
    statsTimer.expires_after(std::chrono::seconds(config.statsIntervalS));
    statsTimer.async_wait([&](const asio::error_code& ec) {
      if (ec) return;
      std::string text = core.StatsText(gateway::Clock::now());
      text.pop_back();
      gateway::Log(text);
      stats();
    });
  };
  std::function<void()> progress = [&] {
    progressTimer.expires_after(std::chrono::seconds(1));
    progressTimer.async_wait([&](const asio::error_code& ec) {
      if (ec) return;
      if (const std::string p = core.Progress(gateway::Clock::now()); !p.empty()) {
        gateway::Log("start-up: " + p);
      }
      progress();
    });
  };
  stats();
  progress();

  // SIGHUP: the file is read and checked in full; on any error the running
  // configuration stays. Otherwise lines, units, tables and client rules are
  // replaced without closing connections; lines that did not change keep
  // running. The listen address, port, limits and driver need a restart.
  std::vector<std::thread> retirers;
  bool stopping = false;
  const auto Reload = [&] {
    if (stopping) return;  // the stopper owns the lines and the edge node now
    gateway::ConfigResult next = gateway::LoadConfig(configPath);
    if (!next.config) {
      gateway::Log("reload refused, the running configuration stays: " + next.error);
      return;
    }
    gateway::Config fresh = *next.config;
    override(fresh);
    const gateway::Config& running = core.Cfg();
    if (fresh.listen != running.listen || fresh.port != config.port ||
        fresh.maxClients != running.maxClients ||
        fresh.maxClientsPerAddress != running.maxClientsPerAddress ||
        fresh.idleTimeoutS != running.idleTimeoutS ||
        fresh.requestTimeoutMs != running.requestTimeoutMs || fresh.driver != running.driver ||
        fresh.metrics != running.metrics || fresh.tls.enabled != running.tls.enabled ||
        fresh.tls.listen != running.tls.listen || fresh.tls.port != running.tls.port ||
        fresh.tls.certificate != running.tls.certificate || fresh.tls.key != running.tls.key ||
        fresh.tls.ca != running.tls.ca) {
      gateway::Log(
          "reload: listen, port, connection limits, time-outs and driver keep their "
          "running values until a restart");
      fresh.listen = running.listen;
      fresh.port = config.port;
      fresh.maxClients = running.maxClients;
      fresh.maxClientsPerAddress = running.maxClientsPerAddress;
      fresh.idleTimeoutS = running.idleTimeoutS;
      fresh.requestTimeoutMs = running.requestTimeoutMs;
      fresh.driver = running.driver;
      fresh.metrics = running.metrics;
      // The TLS listener and its files too; roles and subjects are replaced.
      fresh.tls.enabled = running.tls.enabled;
      fresh.tls.listen = running.tls.listen;
      fresh.tls.port = running.tls.port;
      fresh.tls.certificate = running.tls.certificate;
      fresh.tls.key = running.tls.key;
      fresh.tls.ca = running.tls.ca;
    }
    const gateway::Plan nextPlan = gateway::MakePlan(fresh, !noCoalesce);
    // The edge node keeps its session when the broker settings stay (births
    // again if the devices changed); otherwise it ends it (NDEATH) and a new
    // one starts.
    const bool keepEdge = edge && edge->Reloading(fresh);
    if (!keepEdge) edge.reset();
    gateway::Gateway::Replaced replaced = core.Reload(fresh, nextPlan);
    if (keepEdge) {
      edge->Reloaded(fresh, nextPlan);
    } else {
      startEdge(fresh, nextPlan);
    }
    server.Reapply();
    gateway::Log("reload: " + configPath + ": " + replaced.summary);
    // The lines that go are stopped (a transaction may take three reply
    // time-outs) away from the loop; the new ones start after, so that a
    // port that stays with a line is free again when it opens.
    retirers.emplace_back([&io, &stopping, replaced = std::move(replaced)]() mutable {
      for (auto& line : replaced.retired) line->Join();
      replaced.retired.clear();
      asio::post(io, [&stopping, fresh = std::move(replaced.fresh)] {
        if (stopping) return;
        for (auto& line : fresh) line->Start();
      });
    });
  };

  // SIGTERM / SIGINT: no new connection or request is taken; each line
  // finishes its transaction and answers its queued writes 0x0B; every
  // write taken is answered before its connection closes.
  std::thread stopper;
  std::function<void()> onSignal = [&] {
    signals.async_wait([&](const asio::error_code& ec, int number) {
      if (ec) return;
      if (number == SIGHUP) {
        Reload();
        return onSignal();
      }
      if (number == SIGUSR1) {
        std::string text = core.StatsText(gateway::Clock::now());
        text.pop_back();
        gateway::Log(text);
        if (edge) gateway::Log(edge->StatsText());
        return onSignal();
      }
      gateway::Log(std::string("signal ") + (number == SIGTERM ? "SIGTERM" : "SIGINT") +
                   ": stopping");
      sd_notify(0, "STOPPING=1");
      stopping = true;
      server.StopTaking();
      metrics.Stop();
      statsTimer.cancel();
      progressTimer.cancel();
      stopper = std::thread([&] {
        edge.reset();
        core.Stop();
        asio::post(io, [&] {
          server.CloseAll(std::chrono::seconds(2), [&] {
            signals.cancel();
            io.stop();
          });
        });
      });
    });
  };
  onSignal();
  io.run();
  if (stopper.joinable()) stopper.join();
  for (auto& t : retirers) t.join();
  g_gateway = nullptr;
  gateway::Log("stopped");
  return 0;
}
