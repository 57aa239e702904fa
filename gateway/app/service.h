// tiway-gateway as a service: the configuration checked and its plan
// printed; then one event loop that owns the listeners, the signals
// (SIGHUP reloads, SIGUSR1 logs the counters, SIGTERM and SIGINT stop), the
// systemd notifications and watchdog, and the periodic reports.
#pragma once

#include <asio.hpp>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/core/gateway.h"
#include "gateway/core/plan.h"

namespace mqtt {
class GatewayEdge;
}

namespace gateway {

class Server;
namespace web {
class WebServer;
}

// The process's exit codes (1, a bad command line, is the parser's).
enum ExitCode : int {
  kExitOk = 0,
  kExitBadConfiguration = 2,  // also a listen or metrics address this host cannot bind
  kExitNoDriver = 3,
  kExitCannotListen = 4,  // a socket, or the TLS certificate, key or CA
  kExitNoMqtt = 5,        // the MQTT edge node's store or password file
};

// What the command line says.
struct Options {
  std::string configPath, driverPath, listen;
  std::string addWebUser, usersFile;  // --add-web-user NAME --users FILE
  bool check = false;                 // check the file and print the plan; open no line
  bool exportTags = false;            // write the address metrics as a tag file; open no line
  bool noCoalesce = false;            // read every configured range on its own
  int port = -1;                      // -1: the file's
  int maxClients = 0;                 // 0: the file's

  // The command line's values win over the file's (at start and at each reload).
  void Override(Config& config) const;
};

class Service {
 public:
  explicit Service(Options options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Runs until SIGTERM or SIGINT (or, with --check, until the plan is
  // printed); the process's exit code.
  int Run();

 private:
  int Open();  // the listeners: kExitOk or kExitCannotListen
  void Every(asio::steady_timer& timer, std::chrono::milliseconds period,
             const std::function<void()>& work);
  void FeedWatchdog(uint64_t periodUs);
  void AwaitSignal();
  void Reload();
  void BeginStop(int number);
  // The Sparkplug B edge node ([mqtt]), told of every block read from then on.
  bool StartEdge(const Config& config, const Plan& plan);

  Options options_;
  Config config_;  // as started (the command line's values applied)
  asio::io_context io_;
  asio::signal_set signals_;
  asio::steady_timer watchdogTimer_, statsTimer_, progressTimer_;
  std::unique_ptr<Gateway> core_;
  std::unique_ptr<Server> server_;
  std::unique_ptr<web::WebServer> metrics_;  // the metrics key without [web]
  std::unique_ptr<web::WebServer> web_;      // [web]: the status page and /metrics
  std::unique_ptr<mqtt::GatewayEdge> edge_;
  std::vector<std::thread> retirers_;  // lines a reload retired, stopped away from the loop
  std::thread stopper_;
  bool stopping_ = false;
};

}  // namespace gateway
