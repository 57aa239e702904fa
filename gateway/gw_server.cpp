#include "gateway/gw_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <utility>

#include "gateway/gw_modbus.h"

namespace gateway {

struct Server::Connection {
  Connection(asio::ip::tcp::socket s, std::string a, uint16_t p, uint64_t n)
      : socket(std::move(s)), address(std::move(a)), port(p), serial(n) {}
  asio::ip::tcp::socket socket;  // plain TCP; or the lowest layer of `tls`
  std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket>> tls;
  bool handshaking = false;
  std::optional<Role> certificateRole;  // TLS: the role its certificate carries
  std::string address;
  uint16_t port;
  uint64_t serial;
  // What it may do: its rule's role and units (every unit when empty); its counters.
  Role role = Role::Write;
  std::vector<int> units;
  int rate = 0;  // requests per second allowed its address; 0: no limit
  ClientCounters* counters = nullptr;
  std::list<Ptr>::iterator self;
  std::vector<uint8_t> in = std::vector<uint8_t>(4 * modbus::kMaxAdu);
  size_t used = 0;                    // bytes of `in` received and not yet taken
  std::vector<uint8_t> out, sending;  // answers waiting, answers on their way
  bool reading = false, writing = false;
  bool busy = false;  // a write of this connection waits for its line
  bool closed = false;
  bool requested = false;            // it has sent a whole request
  Clock::time_point lastRequest;     // the last whole request (or the connect)
  Clock::time_point partialSince{};  // a request has started to arrive
  Clock::time_point sendingSince{};
};

namespace {

constexpr auto kSweepPeriod = std::chrono::milliseconds(100);

int Reserve() {
  return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// The client's address as text; an IPv4 client of a dual-stack socket as IPv4.
std::string ClientAddress(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  }
  return address.to_string();
}

// The request rate a client may have: its rule's, else the gateway's.
int RateFor(const Config& config, const ClientRule* rule) {
  return rule != nullptr && rule->maxRequestsPerS > 0 ? rule->maxRequestsPerS
                                                      : config.maxRequestsPerS;
}

// Why a handshake failed: when the client's certificate did not verify, why
// not (an expired one says so); else OpenSSL's error.
std::string HandshakeFailure(asio::ssl::stream<asio::ip::tcp::socket>& tls,
                             const asio::error_code& ec) {
  const long verified = SSL_get_verify_result(tls.native_handle());
  if (verified == X509_V_OK) return "TLS handshake failed: " + ec.message();
  return std::string("TLS handshake failed: certificate verify failed: ") +
         (verified == X509_V_ERR_CERT_HAS_EXPIRED ? "certificate expired"
                                                  : X509_verify_cert_error_string(verified));
}

std::string Hex2(uint8_t code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", code);
  return text;
}

// One audit line per write: who, what, the driver's status and the answer.
void AuditWrite(const std::string& address, uint16_t port, const modbus::Request& request,
                int32_t status, uint8_t answer, const char* why) {
  std::string text = "audit: write from " +
                     (address.find(':') != std::string::npos ? "[" + address + "]" : address) +
                     ":" + std::to_string(port) + " unit " + std::to_string(request.unit) +
                     " function " + std::to_string(request.function) + " address " +
                     std::to_string(request.address) + " values";
  constexpr size_t kShown = 32;
  for (size_t i = 0; i < request.values.size() && i < kShown; ++i) {
    text += " " + std::to_string(request.values[i]);
  }
  if (request.values.size() > kShown) {
    text += " ... (" + std::to_string(request.values.size()) + " values)";
  }
  text += ": status ";
  text += status == kNotSent   ? std::string("none (not sent)")
          : status == kNotDone ? std::string("none (not carried out)")
                               : std::to_string(status);
  text += ", answered " + (answer == kOk ? std::string("ok") : "exception " + Hex2(answer));
  if (why != nullptr) text += std::string(" (") + why + ")";
  Log(text);
}

}  // namespace

Server::Server(asio::io_context& io, Gateway& gateway, Limits limits)
    : io_(io),
      gateway_(gateway),
      limits_(limits),
      acceptor_(io),
      tlsAcceptor_(io),
      sweep_(io),
      acceptPause_(io),
      reserveFd_(Reserve()),
      connectLog_(io) {}

Server::~Server() {
  for (const Ptr& c : connections_) {
    asio::error_code ignored;
    c->closed = true;
    (c->tls ? c->tls->lowest_layer() : c->socket).close(ignored);
  }
  if (reserveFd_ >= 0) close(reserveFd_);
}

std::string Server::Listen(const std::string& address, int port) {
  asio::error_code ec;
  const asio::ip::address ip = asio::ip::make_address(address, ec);
  if (ec) return "listen address '" + address + "' is not an IPv4 or IPv6 address";
  const asio::ip::tcp::endpoint endpoint(ip, static_cast<uint16_t>(port));
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  // "::" takes IPv4 clients too (as IPv4-mapped addresses), whatever the host's default.
  if (!ec && ip.is_v6()) acceptor_.set_option(asio::ip::v6_only(false), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (ec) {
    return "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
  }
  // The kernel's largest queue of connections waiting to be accepted.
  acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return "listen: " + ec.message();
  port_ = acceptor_.local_endpoint(ec).port();
  Accept(acceptor_, false);
  Sweep();
  return "";
}

std::string Server::ListenTls(const std::string& address, int port) {
  const TlsConfig& tls = gateway_.Cfg().tls;
  tlsContext_ = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
  asio::error_code ec;
  SSL_CTX_set_min_proto_version(tlsContext_->native_handle(), TLS1_2_VERSION);
  tlsContext_->set_options(asio::ssl::context::default_workarounds |
                               asio::ssl::context::no_compression |
                               asio::ssl::context::single_dh_use,
                           ec);
  const auto failed = [&](const std::string& what) { return "TLS: " + what + ": " + ec.message(); };
  tlsContext_->use_certificate_chain_file(tls.certificate, ec);
  if (ec) return failed("certificate " + tls.certificate);
  tlsContext_->use_private_key_file(tls.key, asio::ssl::context::pem, ec);
  if (ec) return failed("key " + tls.key);
  tlsContext_->load_verify_file(tls.ca, ec);
  if (ec) return failed("ca " + tls.ca);
  // Mutual authentication: a client without a certificate the CA signed,
  // or with one out of its dates, fails the handshake.
  tlsContext_->set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert, ec);
  const asio::ip::address ip = asio::ip::make_address(address, ec);
  if (ec) return "TLS listen address '" + address + "' is not an IPv4 or IPv6 address";
  const asio::ip::tcp::endpoint endpoint(ip, static_cast<uint16_t>(port));
  tlsAcceptor_.open(endpoint.protocol(), ec);
  if (!ec) tlsAcceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec && ip.is_v6()) tlsAcceptor_.set_option(asio::ip::v6_only(false), ec);
  if (!ec) tlsAcceptor_.bind(endpoint, ec);
  if (!ec) tlsAcceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec)
    return "cannot listen (TLS) on " + address + ":" + std::to_string(port) + ": " + ec.message();
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
  if (Ptr victim = Victim(nullptr)) {
    Close(victim, "gives way to a new connection (no file descriptor left)");
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
  Note("refused a client: no file descriptor left (" + std::to_string(connections_.size()) +
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

Server::Ptr Server::Victim(const std::string* address) const {
  // An idle connection (nothing in progress, nothing to send): one that
  // never sent a whole request first, then the one whose last request is
  // the oldest; only the address's own when `address` is given.
  Ptr victim;
  for (const Ptr& c : connections_) {
    if (!Idle(*c) || (address != nullptr && c->address != *address)) continue;
    if (!victim || std::make_pair(c->requested, c->lastRequest) <
                       std::make_pair(victim->requested, victim->lastRequest)) {
      victim = c;
    }
  }
  return victim;
}

bool Server::Idle(const Connection& c) const {
  return !c.busy && !c.writing && c.out.empty();
}

void Server::Accepted(asio::ip::tcp::socket socket, bool tls) {
  asio::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) return;  // gone already
  const std::string address = ClientAddress(remote.address());
  if (!WithinConnectionRate(address, socket)) return;
  ClientCounters& counters = gateway_.Client(address);
  // With client rules, an address no rule covers is refused before it takes a slot.
  const Config& config = gateway_.Cfg();
  const ClientRule* rule = config.RuleFor(address);
  if (!config.clients.empty() && rule == nullptr) {
    counters.refusals.Add();
    gateway_.CountRefusedClient();
    Note("refused a client from " + address + ":" + std::to_string(remote.port()) +
         ": no [[client]] rule covers the address");
    socket.close(ec);
    return;
  }
  // A full server still serves: an idle connection gives way, among the
  // address's own when the address is at its limit.
  const auto counted = perAddress_.find(address);
  const bool addressFull = counted != perAddress_.end() && counted->second >= limits_.maxPerAddress;
  const bool full = static_cast<int>(connections_.size()) >= limits_.maxClients;
  if (addressFull || full) {
    const Ptr victim = Victim(addressFull ? &address : nullptr);
    if (!victim) {
      gateway_.CountRefusedClient();
      Note("refused a client from " + address + ": " +
           (addressFull ? std::to_string(limits_.maxPerAddress) + " connections from it"
                        : std::to_string(connections_.size()) + " connections") +
           ", none idle");
      socket.close(ec);
      return;
    }
    Close(victim, addressFull ? "gives way to a new connection from its address"
                              : "gives way to a new connection (every slot taken)");
  }
  socket.set_option(asio::ip::tcp::no_delay(true), ec);
  // Small kernel buffers: a client that does not read cannot make the
  // kernel hold megabytes for it.
  socket.set_option(asio::socket_base::send_buffer_size(16 * 1024), ec);
  socket.set_option(asio::socket_base::receive_buffer_size(16 * 1024), ec);
  auto c = tls ? std::make_shared<Connection>(asio::ip::tcp::socket(io_), address, remote.port(),
                                              ++serial_)
               : std::make_shared<Connection>(std::move(socket), address, remote.port(), ++serial_);
  if (tls) {
    c->tls =
        std::make_unique<asio::ssl::stream<asio::ip::tcp::socket>>(std::move(socket), *tlsContext_);
  }
  c->counters = &counters;
  counters.connections.Add();
  if (rule != nullptr) {
    c->role = rule->role;
    c->units = rule->units;
  }
  c->rate = RateFor(config, rule);
  c->lastRequest = Clock::now();
  c->self = connections_.insert(connections_.end(), c);
  ++perAddress_[address];
  gateway_.CountClient(+1);
  if (tls) return Handshake(c);
  StartRead(c);
}

bool Server::WithinConnectionRate(const std::string& address, asio::ip::tcp::socket& socket) {
  const int rate = gateway_.Cfg().maxConnectionsPerS;
  if (rate <= 0) return true;
  const auto now = Clock::now();
  // An address whose bucket is full again is the same as one never seen:
  // forgotten, at most once a second, so the table holds the last second's.
  if (now - connectsPruned_ >= std::chrono::seconds(1)) {
    connectsPruned_ = now;
    std::erase_if(connects_, [&](const auto& entry) {
      return entry.second.refused == 0 && access::Full(entry.second.bucket, rate, now);
    });
  }
  Connects& connects = connects_[address];
  if (access::Take(connects.bucket, rate, now)) return true;
  gateway_.CountRefusedClient();
  gateway_.Client(address).refusals.Add();
  // A reset rather than a close: a flood leaves no TIME_WAIT behind.
  asio::error_code ignored;
  socket.set_option(asio::socket_base::linger(true, 0), ignored);
  socket.close(ignored);
  if (connectLogArmed_) {
    ++connects.refused;
    ++connectsRefused_;
    return false;
  }
  Log("refused a connection from " + address + ": over max_connections_per_s (" +
      std::to_string(rate) + "); further refusals are summed up once a second");
  connectLogArmed_ = true;
  connectLog_.expires_after(std::chrono::seconds(1));
  connectLog_.async_wait([this](const asio::error_code& ec) {
    if (!ec) SumUpRefusedConnections();
  });
  return false;
}

void Server::SumUpRefusedConnections() {
  if (connectsRefused_ == 0) {
    connectLogArmed_ = false;  // the next refusal is logged at once
    return;
  }
  const std::string* most = nullptr;
  uint64_t mostRefused = 0;
  size_t addresses = 0;
  for (auto& [address, connects] : connects_) {
    if (connects.refused == 0) continue;
    ++addresses;
    if (connects.refused > mostRefused) {
      most = &address;
      mostRefused = connects.refused;
    }
  }
  Log("refused " + std::to_string(connectsRefused_) +
      " connections over max_connections_per_s in the last second, from " +
      std::to_string(addresses) + (addresses == 1 ? " address" : " addresses") + " (most from " +
      (most != nullptr ? *most : std::string("?")) + ": " + std::to_string(mostRefused) + ")");
  for (auto& entry : connects_) entry.second.refused = 0;
  connectsRefused_ = 0;
  connectLog_.expires_after(std::chrono::seconds(1));
  connectLog_.async_wait([this](const asio::error_code& ec) {
    if (!ec) SumUpRefusedConnections();
  });
}

void Server::Handshake(const Ptr& c) {
  // The handshake must be done within request_timeout_ms, like a request.
  c->handshaking = true;
  c->partialSince = Clock::now();
  c->tls->async_handshake(asio::ssl::stream_base::server, [this, c](const asio::error_code& ec) {
    c->handshaking = false;
    c->partialSince = {};
    if (c->closed) return;
    Role role = Role::Read;
    std::string refused = ec ? HandshakeFailure(*c->tls, ec) : CertificateRole(*c, role);
    if (refused.empty() && role == Role::Write && c->role == Role::Read) role = Role::Read;
    if (!refused.empty()) {
      c->counters->refusals.Add();
      gateway_.CountRefusedClient();
      return Close(c, refused.c_str());
    }
    // The certificate's role, never above the role of the address's rule.
    c->certificateRole = role;
    c->role = role;
    StartRead(c);
  });
}

std::string Server::CertificateRole(Connection& c, Role& role) const {
  const TlsConfig& tls = gateway_.Cfg().tls;
  X509* cert = SSL_get1_peer_certificate(c.tls->native_handle());
  if (cert == nullptr) return "no client certificate";
  std::string roleName, subject;
  // The Modbus/TCP Security role extension: an ASN.1 UTF8String.
  ASN1_OBJECT* oid = OBJ_txt2obj("1.3.6.1.4.1.50316.802.1", 1);
  const int at = oid != nullptr ? X509_get_ext_by_OBJ(cert, oid, -1) : -1;
  if (at >= 0) {
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(X509_get_ext(cert, at));
    const unsigned char* p = ASN1_STRING_get0_data(data);
    if (ASN1_UTF8STRING* text = d2i_ASN1_UTF8STRING(nullptr, &p, ASN1_STRING_length(data))) {
      roleName.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                      static_cast<size_t>(ASN1_STRING_length(text)));
      ASN1_UTF8STRING_free(text);
    }
  }
  ASN1_OBJECT_free(oid);
  char cn[256] = {};
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0) {
    subject = cn;
  }
  X509_free(cert);
  const auto find = [](const std::vector<std::pair<std::string, Role>>& map,
                       const std::string& name, Role& out) {
    for (const auto& [key, value] : map) {
      if (key == name) {
        out = value;
        return true;
      }
    }
    return false;
  };
  if (!roleName.empty()) {
    if (find(tls.roles, roleName, role)) return "";
    return "certificate of '" + subject + "' has the role '" + roleName + "', not in [tls] roles";
  }
  if (find(tls.subjects, subject, role)) return "";
  return "certificate of '" + subject +
         "' has no role extension and its subject is not in [tls] subjects";
}

void Server::StartRead(const Ptr& c) {
  if (c->closed || c->reading || c->busy || c->handshaking || stopping_) return;
  if (c->used == c->in.size()) return;  // cannot happen: whole frames are always taken
  c->reading = true;
  auto done = [this, c](const asio::error_code& ec, size_t n) {
    c->reading = false;
    if (c->closed) return;
    if (ec || n == 0) return Close(c, nullptr);  // the client closed, or reset
    c->used += n;
    Process(c);
    StartRead(c);
  };
  const auto buffer = asio::buffer(c->in.data() + c->used, c->in.size() - c->used);
  if (c->tls) {
    c->tls->async_read_some(buffer, std::move(done));
  } else {
    c->socket.async_read_some(buffer, std::move(done));
  }
}

void Server::Process(const Ptr& c) {
  while (!c->closed && !c->busy && !stopping_) {
    size_t size = 0;
    const modbus::FrameState state = modbus::Frame(c->in.data(), c->used, size);
    if (state == modbus::FrameState::Bad) {
      return Close(c, "sent a frame that is not Modbus TCP (protocol id or length)");
    }
    if (state == modbus::FrameState::Incomplete) {
      if (c->used == 0) {
        c->partialSince = {};
      } else if (c->partialSince == Clock::time_point{}) {
        c->partialSince = Clock::now();
      }
      return;
    }
    c->partialSince = {};
    Handle(c, c->in.data(), size);
    if (c->closed) return;
    std::copy(c->in.begin() + static_cast<long>(size), c->in.begin() + static_cast<long>(c->used),
              c->in.begin());
    c->used -= size;
  }
}

void Server::Handle(const Ptr& c, const uint8_t* frame, size_t size) {
  c->lastRequest = Clock::now();
  c->requested = true;
  modbus::Request request;
  uint8_t code = 0;
  switch (modbus::Parse(frame, size, request, code)) {
    case modbus::Verdict::Refuse:
      return Close(c, "sent a function code of 0x80 or above");
    case modbus::Verdict::Exception:
      // A malformed write is a write too: audited with what could be read of it.
      if (request.write || request.function == 5 || request.function == 6 ||
          request.function == 15 || request.function == 16) {
        c->counters->writes.Add();
        c->counters->writeFailures.Add();
        AuditWrite(c->address, c->port, request, kNotSent, code, "malformed request");
      }
      return Send(c, modbus::ExceptionAnswer(frame, code));
    case modbus::Verdict::Serve:
      break;
  }
  c->counters->requests.Add();
  if (request.write) c->counters->writes.Add();
  const char* why = nullptr;
  code = Authorize(*c, request, why);
  if (code != kOk) {
    c->counters->refusals.Add();
    if (request.write) {
      c->counters->writeFailures.Add();
      AuditWrite(c->address, c->port, request, kNotSent, code, why);
    } else {
      Note("refused a request from " + c->address + ":" + std::to_string(c->port) + " to unit " +
           std::to_string(request.unit) + ": " + why);
    }
    return Send(c, modbus::ExceptionAnswer(frame, code));
  }
  if (request.function == modbus::kReadDeviceId) {
    const Config& config = gateway_.Cfg();
    const bool known = request.unit == config.diagnosticsUnit ||
                       std::any_of(config.units.begin(), config.units.end(),
                                   [&](const Unit& u) { return u.id == request.unit; });
    static const std::vector<std::string> kObjects = {"zortw", "tiway-gateway", ZORTW_VERSION};
    return Send(c, known ? modbus::IdentificationAnswer(frame, request, kObjects)
                         : modbus::ExceptionAnswer(frame, kGatewayPath));
  }
  if (!request.write) {
    std::vector<uint16_t> values;
    code = gateway_.Read(request.unit, request.kind, request.address, request.count, values,
                         Clock::now());
    return Send(c, code == kOk ? modbus::ReadAnswer(frame, request, values)
                               : modbus::ExceptionAnswer(frame, code));
  }
  // The write goes to its line; this connection takes no further request
  // until it is answered, so answers keep the requests' order.
  c->busy = true;
  auto header = std::make_shared<std::vector<uint8_t>>(frame, frame + 12);
  auto audited = std::make_shared<modbus::Request>(request);
  gateway_.WriteAsync(request.unit, request.kind, request.address, request.values,
                      [this, c, header, audited](uint8_t result, int32_t status) {
                        asio::post(io_, [this, c, header, audited, result, status] {
                          if (result != kOk) c->counters->writeFailures.Add();
                          AuditWrite(c->address, c->port, *audited, status, result,
                                     result == kIllegalAddress && status == kNotSent
                                         ? "not a writable address"
                                         : nullptr);
                          c->busy = false;
                          if (c->closed) return;
                          c->lastRequest = Clock::now();
                          Send(c, result == kOk ? modbus::WriteAnswer(header->data())
                                                : modbus::ExceptionAnswer(header->data(), result));
                          Process(c);
                          StartRead(c);
                        });
                      });
}

uint8_t Server::Authorize(Connection& c, const modbus::Request& request, const char*& why) {
  const Config& config = gateway_.Cfg();
  // A client over its request rate is told the server is busy.
  if (c.rate > 0 && !access::Take(buckets_[c.address], c.rate, Clock::now())) {
    why = "over its request rate (max_requests_per_s)";
    return kDeviceBusy;
  }
  if (request.unit == config.diagnosticsUnit) {
    if (config.diagnostics == DiagnosticsAccess::Off) {
      why = "the diagnostics unit is off";
      return kGatewayPath;
    }
    if (config.diagnostics == DiagnosticsAccess::Write && c.role != Role::Write) {
      why = "the diagnostics unit is for clients of role write";
      return kIllegalFunction;
    }
  }
  if (!c.units.empty() &&
      std::find(c.units.begin(), c.units.end(), request.unit) == c.units.end()) {
    why = "the unit is not among its rule's units";
    return kIllegalFunction;
  }
  if (request.write && c.role != Role::Write) {
    why = "its role is read";
    return kIllegalFunction;
  }
  return kOk;
}

void Server::Send(const Ptr& c, const std::vector<uint8_t>& bytes) {
  if (c->closed) return;
  c->out.insert(c->out.end(), bytes.begin(), bytes.end());
  if (c->out.size() + c->sending.size() > limits_.maxBacklog) {
    return Close(c, "does not read its answers (backlog over the bound)");
  }
  Flush(c);
}

void Server::Flush(const Ptr& c) {
  if (c->closed || c->writing) return;
  if (c->out.empty()) {
    if (stopping_ && !c->busy) Close(c, nullptr);  // everything taken is answered
    return;
  }
  c->sending.swap(c->out);
  c->out.clear();
  c->writing = true;
  c->sendingSince = Clock::now();
  auto done = [this, c](const asio::error_code& ec, size_t) {
    c->writing = false;
    c->sending.clear();
    if (c->closed) return;
    if (ec) return Close(c, nullptr);
    Flush(c);
  };
  if (c->tls) {
    asio::async_write(*c->tls, asio::buffer(c->sending), std::move(done));
  } else {
    asio::async_write(c->socket, asio::buffer(c->sending), std::move(done));
  }
}

void Server::Close(const Ptr& c, const char* reason) {
  if (c->closed) return;
  c->closed = true;
  if (reason != nullptr) {
    gateway_.CountClosedClient();
    Note("closed the connection from " + c->address + " (#" + std::to_string(c->serial) +
         "): " + reason);
  }
  asio::error_code ignored;
  (c->tls ? c->tls->lowest_layer() : c->socket).close(ignored);
  connections_.erase(c->self);
  if (--perAddress_[c->address] <= 0) {
    perAddress_.erase(c->address);
    buckets_.erase(c->address);
  }
  gateway_.CountClient(-1);
  if (connections_.empty() && closed_) {
    auto done = std::move(closed_);
    closed_ = nullptr;
    done();
  }
}

void Server::Sweep() {
  const auto now = Clock::now();
  gateway_.ExpireWrites(now);
  for (auto it = connections_.begin(); it != connections_.end();) {
    const Ptr c = *it++;  // Close erases c from the list
    if (c->partialSince != Clock::time_point{} && now - c->partialSince > limits_.requestTimeout) {
      Close(c, "a request did not arrive whole within request_timeout_ms");
    } else if (c->writing && now - c->sendingSince > limits_.idleTimeout) {
      Close(c, "has not read its answers for idle_timeout_s");
    } else if (!c->busy && now - c->lastRequest > limits_.idleTimeout) {
      Close(c, "idle for idle_timeout_s");
    }
  }
  sweep_.expires_after(kSweepPeriod);
  sweep_.async_wait([this](const asio::error_code& ec) {
    if (!ec) Sweep();
  });
}

void Server::Reapply() {
  const Config& config = gateway_.Cfg();
  for (auto it = connections_.begin(); it != connections_.end();) {
    const Ptr c = *it++;  // Close erases c from the list
    const ClientRule* rule = config.RuleFor(c->address);
    if (!config.clients.empty() && rule == nullptr) {
      c->counters->refusals.Add();
      Close(c, "no [[client]] rule covers its address since the reload");
      continue;
    }
    c->role = rule != nullptr ? rule->role : Role::Write;
    if (c->certificateRole && *c->certificateRole == Role::Read) c->role = Role::Read;
    c->units = rule != nullptr ? rule->units : std::vector<int>{};
    c->rate = RateFor(config, rule);
  }
  buckets_.clear();
}

void Server::StopTaking() {
  stopping_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);
  tlsAcceptor_.close(ignored);
  acceptPause_.cancel();
  connectLog_.cancel();
  // Connections with nothing in progress close once their answers are out;
  // a connection whose write waits for the line closes after its answer.
  for (auto it = connections_.begin(); it != connections_.end();) {
    const Ptr c = *it++;
    Flush(c);
  }
}

void Server::CloseAll(std::chrono::milliseconds grace, std::function<void()> done) {
  if (connections_.empty()) {
    sweep_.cancel();
    return done();
  }
  closed_ = [this, done = std::move(done)] {
    sweep_.cancel();
    done();
  };
  auto timer = std::make_shared<asio::steady_timer>(io_, grace);
  timer->async_wait([this, timer](const asio::error_code&) {
    while (!connections_.empty()) Close(connections_.front(), nullptr);
  });
}

void Server::Note(const std::string& text) {
  // At most 20 lines per 10 s; the rest are counted and said once.
  const auto now = Clock::now();
  if (now - noteWindow_ > std::chrono::seconds(10)) {
    if (notesSuppressed_ > 0) {
      Log(std::to_string(notesSuppressed_) + " more connection events were not logged");
    }
    noteWindow_ = now;
    notes_ = 0;
    notesSuppressed_ = 0;
  }
  if (++notes_ <= 20) {
    Log(text);
  } else {
    ++notesSuppressed_;
  }
}

}  // namespace gateway
