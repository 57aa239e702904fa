// The metrics listener: HTTP GET /metrics in the Prometheus text format, on
// the gateway's event loop. A client is held to the rules of the Modbus side:
// a bounded request (8 KiB of headers), a time-out on every wait (5 s for the
// request, 5 s for the answer to be taken), at most 16 connections, and the
// [[client]] rules when there are some. One answer per connection.
#pragma once

#include <asio.hpp>
#include <list>
#include <memory>
#include <string>

#include "gateway/core/gateway.h"

namespace gateway {

class MetricsServer {
 public:
  MetricsServer(asio::io_context& io, Gateway& gateway);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  std::string Listen(const std::string& host, int port);  // an error text or ""
  int Port() const { return port_; }
  void Stop();

 private:
  struct Client;
  void Accept();
  void Read(const std::shared_ptr<Client>& c);
  void Answer(const std::shared_ptr<Client>& c);
  void Close(const std::shared_ptr<Client>& c);

  asio::io_context& io_;
  Gateway& gateway_;
  asio::ip::tcp::acceptor acceptor_;
  std::list<std::shared_ptr<Client>> clients_;
  int port_ = 0;
  bool stopped_ = false;
};

}  // namespace gateway
