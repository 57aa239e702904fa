#include "gateway/app/service.h"

#include <signal.h>
#include <systemd/sd-daemon.h>

#include <iostream>

#include "gateway/core/log.h"
#include "gateway/modbus/server.h"
#include "gateway/mqtt/mq_gateway.h"
#include "gateway/mqtt/mq_model.h"
#include "gateway/report/stats.h"
#include "gateway/web/users.h"
#include "gateway/web/web_server.h"
#include "host/driver.h"

namespace gateway {

namespace {

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

std::string MetricsHost(const Config& config) {
  std::string host;
  int port = 0;
  if (!config.metrics.empty()) SplitHostPort(config.metrics, host, port);
  return host;
}

std::string HostPort(const std::string& host, int port) {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
         std::to_string(port);
}

std::string TlsListen(const Config& config) {
  return config.tls.listen.empty() ? config.listen : config.tls.listen;
}

void LogStats(const Gateway& core) {
  std::string text = StatsText(core, Clock::now());
  text.pop_back();
  Log(text);
}

}  // namespace

void Options::Override(Config& config) const {
  if (!listen.empty()) config.listen = listen;
  if (port >= 0) config.port = port;
  if (maxClients > 0) config.maxClients = maxClients;
  if (!driverPath.empty()) {
    config.driver = driverPath;
    std::erase_if(config.files, [](const NamedFile& f) { return f.what == "[gateway] driver"; });
    config.files.push_back(NamedFile{"--driver", driverPath, FileUse::Read, 0});
  }
}

Service::Service(Options options)
    : options_(std::move(options)),
      signals_(io_),
      watchdogTimer_(io_),
      statsTimer_(io_),
      progressTimer_(io_) {}

Service::~Service() {
  if (stopper_.joinable()) stopper_.join();
  for (auto& t : retirers_) t.join();
}

int Service::Run() {
  const ConfigResult loaded = LoadConfig(options_.configPath);
  if (!loaded.config) {
    std::cerr << "tiway-gateway: " << loaded.error << "\n";
    return kExitBadConfiguration;
  }
  config_ = *loaded.config;
  options_.Override(config_);
  if (options_.exportTags) {
    std::cout << mqtt::ExportTags(config_) << std::flush;
    return kExitOk;
  }
  // Every file and folder the configuration names, before anything opens.
  if (const std::string failed = CheckFiles(config_, options_.configPath); !failed.empty()) {
    std::cerr << "tiway-gateway: " << failed << "\n";
    return kExitBadConfiguration;
  }
  const std::string metricsHost = MetricsHost(config_);
  for (const std::string& address :
       {config_.listen, metricsHost, config_.tls.enabled ? TlsListen(config_) : std::string(),
        config_.web.enabled ? config_.web.listen : std::string()}) {
    if (address.empty()) continue;
    if (const std::string bind = CheckBindable(address); !bind.empty()) {
      std::cerr << "tiway-gateway: " << options_.configPath << ": " << bind << "\n";
      return kExitBadConfiguration;
    }
  }
  if (!config_.web.users.empty()) {
    std::string failed;
    if (!web::LoadUsers(config_.web.users, failed)) {
      std::cerr << "tiway-gateway: " << options_.configPath << ": [web] " << failed << "\n";
      return kExitBadConfiguration;
    }
  }
  const Plan plan = MakePlan(config_, !options_.noCoalesce);
  std::cout << DescribePlan(config_, plan) << std::flush;
  if (options_.check) {
    std::cout << "configuration ok: " << Plural(config_.lines.size(), "line", "lines") << ", "
              << Plural(config_.units.size(), "unit", "units") << ", "
              << Plural(config_.clients.size(), "client rule", "client rules");
    size_t tags = 0;
    for (const Unit& unit : config_.units) tags += unit.tags.size();
    if (!config_.tagsFile.empty()) std::cout << ", " << Plural(tags, "tag", "tags");
    std::cout << "\n";
    return kExitOk;
  }
  Log(std::string("tiway-gateway ") + ZORTW_VERSION + " starting: " + options_.configPath + ", " +
      Plural(config_.lines.size(), "line", "lines") + ", " +
      Plural(config_.units.size(), "unit", "units"));
  if (config_.clients.empty() && !Loopback(config_.listen)) {
    Log("warning: listening on " + config_.listen +
        " with no [[client]] rule: any host that reaches it may read, and write every writable "
        "table");
  }
  if (config_.clients.empty() && !metricsHost.empty() && !Loopback(metricsHost)) {
    Log("warning: metrics on " + config_.metrics +
        " with no [[client]] rule: any host that reaches it reads the counters");
  }

  signal(SIGPIPE, SIG_IGN);
  // The driver's lines go to the log (a line repeated on every poll once in
  // ten minutes, with its count), and to the line whose call made them (its
  // failed attempts are counted from them).
  zortw_host::SetLogEcho([](const std::string& line) { LogDriverLine(line); });
  const zortw_host::Driver driver =
      zortw_host::LoadDriver(config_.driver, &zortw_host::CollectingLog);
  if (!driver.error.empty()) {
    std::cerr << "tiway-gateway: " << driver.error << "\n";
    return kExitNoDriver;
  }
  // Signals reach the loop through Asio's handler, whichever thread takes them.
  for (const int number : {SIGTERM, SIGINT, SIGUSR1, SIGHUP}) signals_.add(number);
  core_ = std::make_unique<Gateway>(config_, plan, driver.zorMain);
  // The edge node's state for the reports, read on this loop (which alone
  // replaces edge_ while it runs).
  core_->SetEdgeProbe([this] { return edge_ ? edge_->State() : EdgeState{}; });
  if (const int failed = Open(); failed != kExitOk) return failed;
  if (!StartEdge(config_, plan)) {
    std::cerr << "tiway-gateway: mqtt: cannot start\n";
    return kExitNoMqtt;
  }
  core_->Start();
  // systemd (Type=notify): ready once the socket listens and the lines run;
  // the watchdog is fed from this loop, so a loop that hangs is restarted.
  sd_notify(
      0, ("READY=1\nSTATUS=listening on " + config_.listen + ":" + std::to_string(server_->Port()))
             .c_str());
  uint64_t watchdogUs = 0;
  if (sd_watchdog_enabled(0, &watchdogUs) > 0 && watchdogUs > 0) FeedWatchdog(watchdogUs);
  // Counters every stats_interval_s; start-up progress every second.
  Every(statsTimer_, std::chrono::seconds(config_.statsIntervalS), [this] { LogStats(*core_); });
  Every(progressTimer_, std::chrono::seconds(1), [this] {
    if (const std::string p = Progress(*core_, Clock::now()); !p.empty()) {
      Log("start-up: " + p);
    }
  });
  AwaitSignal();
  io_.run();
  if (stopper_.joinable()) stopper_.join();
  for (auto& t : retirers_) t.join();
  retirers_.clear();
  Log("stopped");
  return kExitOk;
}

int Service::Open() {
  Server::Limits limits;
  limits.maxClients = config_.maxClients;
  limits.maxPerAddress = config_.maxClientsPerAddress;
  limits.idleTimeout = std::chrono::seconds(config_.idleTimeoutS);
  limits.requestTimeout = std::chrono::milliseconds(config_.requestTimeoutMs);
  server_ = std::make_unique<Server>(io_, *core_, limits);
  if (const std::string error = server_->Listen(config_.listen, config_.port); !error.empty()) {
    std::cerr << "tiway-gateway: " << error << "\n";
    return kExitCannotListen;
  }
  std::cout << "tiway-gateway: listening on " << config_.listen << ":" << server_->Port()
            << std::endl;
  Log("listening on " + config_.listen + ":" + std::to_string(server_->Port()) +
      ", diagnostics unit " + std::to_string(config_.diagnosticsUnit));
  if (config_.tls.enabled) {
    const std::string tlsListen = TlsListen(config_);
    if (const std::string failed = server_->ListenTls(tlsListen, config_.tls.port);
        !failed.empty()) {
      std::cerr << "tiway-gateway: " << failed << "\n";
      return kExitCannotListen;
    }
    std::cout << "tiway-gateway: listening (TLS) on " << tlsListen << ":" << server_->TlsPort()
              << std::endl;
    Log("listening (TLS, Modbus/TCP Security) on " + tlsListen + ":" +
        std::to_string(server_->TlsPort()));
  }
  if (!config_.metrics.empty()) {
    std::string host;
    int port = 0;
    SplitHostPort(config_.metrics, host, port);
    metrics_ = std::make_unique<web::WebServer>(io_, *core_);
    web::WebServer::Options options;
    options.page = false;
    if (const std::string failed = metrics_->Listen(host, port, options); !failed.empty()) {
      std::cerr << "tiway-gateway: " << failed << "\n";
      return kExitCannotListen;
    }
    Log("metrics: listening on " + HostPort(host, metrics_->Port()) + ", GET /metrics");
  }
  if (config_.web.enabled) {
    web::WebServer::Options options;
    options.tls = config_.web.tls;
    options.certificate = config_.tls.certificate;
    options.key = config_.tls.key;
    if (!config_.web.users.empty()) {
      std::string failed;
      options.users = *web::LoadUsers(config_.web.users, failed);  // checked at start
    }
    web_ = std::make_unique<web::WebServer>(io_, *core_);
    if (const std::string failed = web_->Listen(config_.web.listen, config_.web.port, options);
        !failed.empty()) {
      std::cerr << "tiway-gateway: " << failed << "\n";
      return kExitCannotListen;
    }
    const std::string where = HostPort(config_.web.listen, web_->Port());
    std::cout << "tiway-gateway: web: listening on " << where << std::endl;
    Log("web: listening on " + where + (config_.web.tls ? " (HTTPS" : " (HTTP") +
        (config_.web.users.empty() ? ")" : ", login)") + ", the status page and GET /metrics");
  }
  return kExitOk;
}

void Service::Every(asio::steady_timer& timer, std::chrono::milliseconds period,
                    const std::function<void()>& work) {
  timer.expires_after(period);
  timer.async_wait([this, &timer, period, work](const asio::error_code& ec) {
    if (ec) return;
    work();
    Every(timer, period, work);
  });
}

void Service::FeedWatchdog(uint64_t periodUs) {
  sd_notify(0, "WATCHDOG=1");
  watchdogTimer_.expires_after(std::chrono::microseconds(periodUs / 2));
  watchdogTimer_.async_wait([this, periodUs](const asio::error_code& ec) {
    if (!ec) FeedWatchdog(periodUs);
  });
}

void Service::AwaitSignal() {
  signals_.async_wait([this](const asio::error_code& ec, int number) {
    if (ec) return;
    if (number == SIGHUP) {
      Reload();
      return AwaitSignal();
    }
    if (number == SIGUSR1) {
      LogStats(*core_);
      if (edge_) Log(edge_->StatsText());
      return AwaitSignal();
    }
    BeginStop(number);
  });
}

// SIGHUP: the file is read and checked in full; on any error the running
// configuration stays. Otherwise lines, units, tables and client rules are
// replaced without closing connections; lines that did not change keep
// running. The restart-only settings keep their running values.
bool Service::StartEdge(const Config& config, const Plan& plan) {
  std::string failed;
  if (config.mqtt.enabled &&
      !(edge_ = mqtt::GatewayEdge::Start(config, plan, *core_, io_, failed))) {
    Log("mqtt: cannot start: " + failed);
    return false;
  }
  return true;
}

void Service::Reload() {
  if (stopping_) return;  // the stopper owns the lines and the edge node now
  const ConfigResult next = LoadConfig(options_.configPath);
  if (!next.config) {
    Log("reload refused, the running configuration stays: " + next.error);
    return;
  }
  Config fresh = *next.config;
  options_.Override(fresh);
  if (const std::string failed = CheckFiles(fresh, options_.configPath); !failed.empty()) {
    Log("reload refused, the running configuration stays: " + failed);
    return;
  }
  if (RestartOnly(fresh) != RestartOnly(core_->Cfg())) {
    Log("reload: listen, port, connection limits, time-outs and driver keep their running values "
        "until a restart");
    RestartOnly(fresh) = RestartOnly(core_->Cfg());
  }
  const Plan nextPlan = MakePlan(fresh, !options_.noCoalesce);
  // The edge node keeps its session when the broker settings stay (births
  // again if the devices changed); otherwise it ends it (NDEATH) and a new
  // one starts. In this order, all on this loop: the edge node's thread is
  // parked (it has acknowledged, and touches the core no more), the core
  // reloads, the edge node is rebound to the new devices and resumes. No
  // lock is held from one step to the next.
  const bool keepEdge = edge_ && edge_->Reloading(fresh);
  if (!keepEdge) edge_.reset();
  Gateway::Replaced replaced = core_->Reload(fresh, nextPlan);
  if (keepEdge) {
    edge_->Reloaded(fresh, nextPlan);
  } else {
    StartEdge(fresh, nextPlan);
  }
  server_->Reapply();
  Log("reload: " + options_.configPath + ": " + replaced.summary);
  // The lines that go are stopped (a transaction may take three reply
  // time-outs) away from the loop; the new ones start after, so that a
  // port that stays with a line is free again when it opens.
  retirers_.emplace_back([this, replaced = std::move(replaced)]() mutable {
    for (auto& line : replaced.retired) line->Join();
    replaced.retired.clear();
    asio::post(io_, [this, fresh = std::move(replaced.fresh)] {
      if (stopping_) return;
      for (auto& line : fresh) line->Start();
    });
  });
}

// SIGTERM / SIGINT: no new connection or request is taken; each line
// finishes its transaction and answers its queued writes 0x0B; every write
// taken is answered before its connection closes.
void Service::BeginStop(int number) {
  Log(std::string("signal ") + (number == SIGTERM ? "SIGTERM" : "SIGINT") + ": stopping");
  sd_notify(0, "STOPPING=1");
  stopping_ = true;
  core_->SetEdgeProbe(nullptr);  // the stopper ends the edge node
  server_->StopTaking();
  if (metrics_) metrics_->Stop();
  if (web_) web_->Stop();
  statsTimer_.cancel();
  progressTimer_.cancel();
  stopper_ = std::thread([this] {
    edge_.reset();  // NDEATH, DISCONNECT
    core_->Stop();
    asio::post(io_, [this] {
      server_->CloseAll(std::chrono::seconds(2), [this] {
        signals_.cancel();
        io_.stop();
      });
    });
  });
}

}  // namespace gateway
