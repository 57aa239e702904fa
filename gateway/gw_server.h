// The Modbus TCP side: one event loop (standalone Asio) with non-blocking
// sockets. Requests are delimited by their MBAP header and answered in the
// order they came, any number of them pipelined; a connection is closed when
// it stays idle, takes too long to send a request, does not read its
// answers, or sends something that is not Modbus TCP. When every slot is
// taken the oldest idle connection gives way to a new one; each address has
// a limit of its own. Writes wait for the line without holding the loop.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "gateway/core/gateway.h"
#include "gateway/gw_modbus.h"

namespace gateway {

class Server {
 public:
  struct Limits {
    int maxClients = 64;
    int maxPerAddress = 16;
    std::chrono::milliseconds idleTimeout{60000};
    std::chrono::milliseconds requestTimeout{2000};
    size_t maxBacklog = 64 * 1024;  // answers a client has not taken, in bytes
  };

  Server(asio::io_context& io, Gateway& gateway, Limits limits);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds, listens and starts accepting; returns an error text or "".
  std::string Listen(const std::string& address, int port);
  int Port() const { return port_; }
  // The same for Modbus/TCP Security (the configuration's [tls]): TLS 1.2 or
  // later, a client certificate required and verified against the CA.
  std::string ListenTls(const std::string& address, int port);
  int TlsPort() const { return tlsPort_; }
  size_t Connections() const { return connections_.size(); }

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
  struct Connection;
  using Ptr = std::shared_ptr<Connection>;

  void Accept(asio::ip::tcp::acceptor& acceptor, bool tls);
  void Accepted(asio::ip::tcp::socket socket, bool tls);
  void OutOfDescriptors(asio::ip::tcp::acceptor& acceptor, bool tls);
  void Handshake(const Ptr& c);
  // The role a verified client certificate carries, or an error text.
  std::string CertificateRole(Connection& c, Role& role) const;
  void StartRead(const Ptr& c);
  void Process(const Ptr& c);
  void Handle(const Ptr& c, const uint8_t* frame, size_t size);
  void Send(const Ptr& c, const std::vector<uint8_t>& bytes);
  void Flush(const Ptr& c);
  // Closes a connection; `reason` (logged, counted) when the gateway closes it.
  void Close(const Ptr& c, const char* reason);
  void Sweep();
  bool Idle(const Connection& c) const;
  Ptr Victim(const std::string* address) const;  // the idle connection to give way
  // kOk when the connection may make the request, else the exception to
  // answer and `why` (rate, diagnostics access, units, role).
  uint8_t Authorize(Connection& c, const modbus::Request& request, const char*& why);
  void Note(const std::string& text);  // connection events in the log, rate-limited

  asio::io_context& io_;
  Gateway& gateway_;
  Limits limits_;
  asio::ip::tcp::acceptor acceptor_, tlsAcceptor_;
  std::unique_ptr<asio::ssl::context> tlsContext_;
  int tlsPort_ = 0;
  asio::steady_timer sweep_, acceptPause_;
  int port_ = 0;
  int reserveFd_ = -1;  // a spare descriptor, given up to refuse a client when none is left
  bool stopping_ = false;
  uint64_t serial_ = 0;
  std::list<Ptr> connections_;
  std::map<std::string, int> perAddress_;
  struct Bucket {  // a client address's requests: a token bucket of one second
    double tokens = 0;
    Clock::time_point at{};
  };
  std::map<std::string, Bucket> buckets_;
  std::function<void()> closed_;  // CloseAll's `done`, once the last one has gone
  // Rate limit of connection events in the log.
  Clock::time_point noteWindow_{};
  int notes_ = 0, notesSuppressed_ = 0;
};

}  // namespace gateway
