// The Modbus TCP side: one event loop (standalone Asio) with non-blocking
// sockets, plain TCP and Modbus/TCP Security (TLS) side by side. The server
// owns the acceptors, the TLS context and the set of connections with its
// limits; each connection owns its socket, buffers, state and deadlines
// (net/connection.h); what a request means is modbus/service.h's. When every
// slot is taken the oldest idle connection gives way to a new one; each
// address has a limit of its own, and a rate of new connections.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "gateway/core/gateway.h"
#include "gateway/modbus/service.h"
#include "gateway/net/connection.h"
#include "gateway/net/connection_rate.h"
#include "gateway/net/connection_set.h"
#include "gateway/net/notes.h"

namespace gateway {

class Server : private net::Connection::Owner {
 public:
  struct Limits {
    int maxClients = 64;
    int maxPerAddress = 16;
    std::chrono::milliseconds idleTimeout{60000};
    std::chrono::milliseconds requestTimeout{2000};
    size_t maxBacklog = 64 * 1024;  // answers a client has not taken, in bytes
  };

  Server(asio::io_context& io, Gateway& gateway, Limits limits);
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds, listens and starts accepting; returns an error text or "".
  std::string Listen(const std::string& address, int port);
  int Port() const { return port_; }
  // The same for Modbus/TCP Security (the configuration's [tls]): TLS 1.2 or
  // later, a client certificate required and verified against the CA.
  std::string ListenTls(const std::string& address, int port);
  int TlsPort() const { return tlsPort_; }
  size_t Connections() const { return connections_.Size(); }

  // After a reload: each open connection takes the role and units of the
  // rule that now covers it; one that no rule covers any more is closed.
  void Reapply();

  // Stops accepting and taking requests. A request already taken (a write
  // waiting for its line) is still answered; then its connection closes.
  void StopTaking();
  // Closes every connection once its answers are sent, or after `grace`;
  // then calls `done` (on the loop).
  void CloseAll(std::chrono::milliseconds grace, std::function<void()> done);

 private:
  using Ptr = std::shared_ptr<net::Connection>;

  net::Connection::Owner& Owner() { return *this; }
  void Accept(asio::ip::tcp::acceptor& acceptor, bool tls);
  void Accepted(asio::ip::tcp::socket socket, bool tls);
  void OutOfDescriptors(asio::ip::tcp::acceptor& acceptor, bool tls);
  // net::Connection::Owner
  std::string Verified(net::Connection& c, const asio::error_code& ec) override;
  void Received(const Ptr& c) override { service_.Received(c); }
  void Closed(net::Connection& c, const char* reason) override;

  asio::io_context& io_;
  Gateway& gateway_;
  Limits limits_;
  net::Connection::Limits connectionLimits_;
  asio::ip::tcp::acceptor acceptor_, tlsAcceptor_;
  std::unique_ptr<asio::ssl::context> tlsContext_;
  int port_ = 0, tlsPort_ = 0;
  int reserveFd_ = -1;  // a spare descriptor, given up to refuse a client when none is left
  bool stopping_ = false;
  uint64_t serial_ = 0;
  net::ConnectionSet connections_;
  net::ConnectionRate connectionRate_;
  net::Notes notes_;
  modbus::Service service_;
  std::function<void()> closed_;  // CloseAll's `done`, once the last one has gone
};

}  // namespace gateway
