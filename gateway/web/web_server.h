// The gateway's HTTP listener, on cpp-httplib (Debian's libcpp-httplib):
// GET /metrics (the Prometheus text), and with the page the status page, its
// files and its JSON (/api/status, /api/unit/ID). Read-only: every other
// method is refused. A bounded pool of threads takes the connections (a
// full pool holds new ones in the listen backlog), with time-outs on every
// read and write; each answer is made on the gateway's event loop, which
// alone reads the core, and waited for at most 2 s. Beyond loopback the
// configuration asks for TLS (the [tls] certificate and key) and a login.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/core/gateway.h"
#include "gateway/web/view.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace gateway::web {

class WebServer {
 public:
  struct Options {
    bool page = true;  // false: /metrics only (the metrics key without [web])
    bool tls = false;
    std::string certificate, key;              // PEM files, with tls
    std::map<std::string, std::string> users;  // name -> stored form; empty: no login
  };

  WebServer(asio::io_context& io, Gateway& gateway);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  std::string Listen(const std::string& host, int port, Options options);  // an error text or ""
  int Port() const { return port_; }
  // On the event loop: no new connection; those open end within their time-outs.
  void Stop();

 private:
  struct Answer {
    int status = 200;
    std::string type, body;
  };
  void Route();
  bool LoggedIn(const httplib::Request& request);
  // `work` on the event loop, for the client at `address`.
  template <class Work>
  void Serve(const httplib::Request& request, httplib::Response& response, Work work);
  void SampleEverySecond();

  asio::io_context& io_;
  Gateway& gateway_;
  Options options_;
  std::unique_ptr<httplib::Server> http_;
  std::thread thread_;
  asio::steady_timer sampler_;
  StatusView view_;  // on the event loop
  std::mutex loginsMutex_;
  std::map<std::string, Clock::time_point> logins_;  // Authorization headers checked lately
  std::atomic<bool> stopped_{false};
  int port_ = 0;
};

}  // namespace gateway::web
