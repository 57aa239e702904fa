#include "gateway/modbus/server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "gateway/modbus/mbap.h"
#include "gateway/net/endpoint.h"
#include "gateway/net/tls.h"

namespace gateway {

namespace {

int Reserve() {
  return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

Server::Server(asio::io_context& io, Gateway& gateway, Limits limits)
    : io_(io),
      gateway_(gateway),
      limits_(limits),
      connectionLimits_{limits.idleTimeout, limits.requestTimeout, limits.maxBacklog,
                        4 * modbus::kMaxAdu},
      acceptor_(io),
      tlsAcceptor_(io),
      reserveFd_(Reserve()),
      connections_(limits.maxClients, limits.maxPerAddress),
      connectionRate_(io),
      service_(io, gateway, notes_) {}

Server::~Server() {
  stopping_ = true;
  closed_ = nullptr;
  while (!connections_.Empty()) connections_.Front()->Close(nullptr);
  if (reserveFd_ >= 0) close(reserveFd_);
}

std::string Server::Listen(const std::string& address, int port) {
  if (std::string error = net::Listen(acceptor_, address, port, ""); !error.empty()) return error;
  asio::error_code ec;
  port_ = acceptor_.local_endpoint(ec).port();
  Accept(acceptor_, false);
  return "";
}

std::string Server::ListenTls(const std::string& address, int port) {
  if (std::string error = net::MakeTlsContext(gateway_.Cfg().tls, tlsContext_); !error.empty()) {
    return error;
  }
  if (std::string error = net::Listen(tlsAcceptor_, address, port, "TLS "); !error.empty()) {
    return error;
  }
  asio::error_code ec;
  tlsPort_ = tlsAcceptor_.local_endpoint(ec).port();
  Accept(tlsAcceptor_, true);
  return "";
}

void Server::Accept(asio::ip::tcp::acceptor& acceptor, bool tls) {
  if (stopping_) return;
  acceptor.async_accept(
      [this, &acceptor, tls](const asio::error_code& ec, asio::ip::tcp::socket socket) {
        if (ec == asio::error::operation_aborted || stopping_) return;
        if (!ec) {
          Accepted(std::move(socket), tls);
        } else if (ec.value() == EMFILE || ec.value() == ENFILE || ec.value() == ENOBUFS ||
                   ec.value() == ENOMEM) {
          OutOfDescriptors(acceptor, tls);
          return;  // OutOfDescriptors accepts again
        }
        Accept(acceptor, tls);
      });
}

void Server::OutOfDescriptors(asio::ip::tcp::acceptor& acceptor, bool tls) {
  // The connection waiting stays in the queue and would wake the loop again
  // at once. An idle connection gives way, as when every slot is taken;
  // without one, the spare descriptor is given up to take the waiting
  // connection and close it, then taken back. Without a spare, accepting
  // pauses for 100 ms.
  if (Ptr victim = connections_.Victim(nullptr)) {
    victim->Close("gives way to a new connection (no file descriptor left)");
    Accept(acceptor, tls);
    return;
  }
  gateway_.CountRefusedClient();
  bool taken = false;
  if (reserveFd_ >= 0) {
    close(reserveFd_);
    const int fd = accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      close(fd);
      taken = true;
    }
    reserveFd_ = Reserve();
  }
  notes_.Note("refused a client: no file descriptor left (" + std::to_string(connections_.Size()) +
              " connections open, none idle)");
  if (taken && reserveFd_ >= 0) {
    Accept(acceptor, tls);
    return;
  }
  auto pause = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(100));
  pause->async_wait([this, pause, &acceptor, tls](const asio::error_code&) {
    if (!stopping_) Accept(acceptor, tls);
  });
}

void Server::Accepted(asio::ip::tcp::socket socket, bool tls) {
  asio::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) return;  // gone already
  const std::string address = net::ClientAddress(remote.address());
  const Config& config = gateway_.Cfg();
  // Over the address's rate of new connections: reset at once, before a
  // slot, a handshake or a read (a reset leaves no TIME_WAIT behind).
  if (!connectionRate_.Admit(address, config.maxConnectionsPerS, Clock::now())) {
    gateway_.CountRefusedClient();
    gateway_.Client(address).refusals.Add();
    socket.set_option(asio::socket_base::linger(true, 0), ec);
    socket.close(ec);
    return;
  }
  ClientCounters& counters = gateway_.Client(address);
  // With client rules, an address no rule covers is refused before it takes a slot.
  const ClientRule* rule = config.RuleFor(address);
  if (!config.clients.empty() && rule == nullptr) {
    counters.refusals.Add();
    gateway_.CountRefusedClient();
    notes_.Note("refused a client from " + address + ":" + std::to_string(remote.port()) +
                ": no [[client]] rule covers the address");
    socket.close(ec);
    return;
  }
  // A full server still serves: an idle connection gives way, among the
  // address's own when the address is at its limit.
  const net::ConnectionSet::Room room = connections_.RoomFor(address);
  if (room.Needed()) {
    const Ptr victim = connections_.Victim(room.addressFull ? &address : nullptr);
    if (!victim) {
      gateway_.CountRefusedClient();
      notes_.Note("refused a client from " + address + ": " +
                  (room.addressFull
                       ? std::to_string(connections_.MaxPerAddress()) + " connections from it"
                       : std::to_string(connections_.Size()) + " connections") +
                  ", none idle");
      socket.close(ec);
      return;
    }
    victim->Close(room.addressFull ? "gives way to a new connection from its address"
                                   : "gives way to a new connection (every slot taken)");
  }
  socket.set_option(asio::ip::tcp::no_delay(true), ec);
  // Small kernel buffers: a client that does not read cannot make the
  // kernel hold megabytes for it.
  socket.set_option(asio::socket_base::send_buffer_size(16 * 1024), ec);
  socket.set_option(asio::socket_base::receive_buffer_size(16 * 1024), ec);
  auto c = std::make_shared<net::Connection>(std::move(socket), tls ? tlsContext_.get() : nullptr,
                                             address, remote.port(), ++serial_, Owner(),
                                             connectionLimits_);
  c->counters = &counters;
  counters.connections.Add();
  c->rights = access::RightsFor(config, rule, std::nullopt);
  connections_.Add(c);
  gateway_.CountClient(+1);
  c->Start();
}

std::string Server::Verified(net::Connection& c, const asio::error_code& ec) {
  std::string refused;
  Role role = Role::Read;
  if (ec) {
    refused = net::HandshakeFailure(*c.Tls(), ec);
  } else if (const net::PeerCertificate peer = net::ReadPeerCertificate(*c.Tls()); !peer.present) {
    refused = "no client certificate";
  } else {
    refused = access::CertificateRole(gateway_.Cfg().tls, peer.role, peer.subject, role);
  }
  if (!refused.empty()) {
    c.counters->refusals.Add();
    gateway_.CountRefusedClient();
    return refused;
  }
  // The certificate's role, never above the role of the address's rule.
  const Config& config = gateway_.Cfg();
  c.rights = access::RightsFor(config, config.RuleFor(c.Address()), role);
  return "";
}

void Server::Closed(net::Connection& c, const char* reason) {
  if (reason != nullptr) {
    gateway_.CountClosedClient();
    notes_.Note("closed the connection from " + c.Address() + " (#" + std::to_string(c.Serial()) +
                "): " + reason);
  }
  if (connections_.Remove(c)) service_.Forget(c.Address());
  gateway_.CountClient(-1);
  if (connections_.Empty() && closed_) {
    auto done = std::move(closed_);
    closed_ = nullptr;
    done();
  }
}

void Server::Reapply() {
  const Config& config = gateway_.Cfg();
  for (const Ptr& c : connections_.All()) {
    const ClientRule* rule = config.RuleFor(c->Address());
    if (!config.clients.empty() && rule == nullptr) {
      c->counters->refusals.Add();
      c->Close("no [[client]] rule covers its address since the reload");
      continue;
    }
    c->rights = access::RightsFor(config, rule, c->rights.certificateRole);
  }
  service_.ForgetAll();
}

void Server::StopTaking() {
  stopping_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);
  tlsAcceptor_.close(ignored);
  connectionRate_.Stop();
  // Connections with nothing in progress close once their answers are out;
  // a connection whose write waits for the line closes after its answer.
  for (const Ptr& c : connections_.All()) c->Drain();
}

void Server::CloseAll(std::chrono::milliseconds grace, std::function<void()> done) {
  if (connections_.Empty()) return done();
  closed_ = std::move(done);
  auto timer = std::make_shared<asio::steady_timer>(io_, grace);
  timer->async_wait([this, timer](const asio::error_code&) {
    while (!connections_.Empty()) connections_.Front()->Close(nullptr);
  });
}

}  // namespace gateway
