// The edge node's connection, all on the service's thread: the broker
// reached by a TCP connection of the node's own that does not block (each
// of its addresses in turn, given up after 10 s), then a client with its
// will, TLS context and credentials that connects at once (one round trip,
// the broker having just answered) and goes on with its TLS handshake, its
// CONNECT and the CONNACK in the service's poll loop; the subscriptions,
// fail-over along the urls with back-off, the bdSeq kept across attempts,
// and the session's end (NDEATH, then DISCONNECT).
//
// Why not mosquitto_connect_async: libmosquitto 2.0 documents it for its
// own threaded loop only, and its TLS handshake starts at once on a TCP
// connection still being made, which fails (the handshake then never ends);
// mosquitto_connect on a broker that has just accepted a connection blocks
// for one round trip and leaves the handshake to the loop.
#include "gateway/mqtt/mq_connection.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace mqtt {

void Service::RestoreBdSeq(uint64_t unused) {
  bdSeq_ = (unused + 255) % 256;
  haveBdSeq_ = previousHad_;
  store_->SaveBdSeq(bdSeq_);
  if (!bdSeqFile_.empty()) SaveBdSeqFile(bdSeqFile_, bdSeq_);
}

uint64_t Service::NextBdSeq() {
  previousHad_ = haveBdSeq_;
  // One more for each CONNECT, 0-255, kept before the CONNECT goes out.
  bdSeq_ = haveBdSeq_ ? (bdSeq_ + 1) % 256 : 0;
  haveBdSeq_ = true;
  store_->SaveBdSeq(bdSeq_);
  if (!bdSeqFile_.empty() && !SaveBdSeqFile(bdSeqFile_, bdSeq_)) {
    core_.Log("mqtt: cannot write " + bdSeqFile_ + ": bdSeq will not survive a restart");
  }
  return bdSeq_;
}

void Service::StartReach() {
  auto reach = std::make_unique<Reach>();
  reach->url = settings_.urls[urlIndex_ % settings_.urls.size()];
  reach->since = SteadyClock::now();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  const std::string port = std::to_string(reach->url.port);
  // A name is resolved on this thread, as libmosquitto itself would.
  const int rc = getaddrinfo(reach->url.host.c_str(), port.c_str(), &hints, &reach->addresses);
  reach_ = std::move(reach);
  if (rc != 0) return Failed("cannot resolve " + reach_->url.host + ": " + gai_strerror(rc));
  reach_->at = reach_->addresses;
  NextAddress();
}

void Service::NextAddress() {
  Reach& reach = *reach_;
  for (; reach.at != nullptr; reach.at = reach.at->ai_next) {
    reach.fd = ::socket(reach.at->ai_family, reach.at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        reach.at->ai_protocol);
    if (reach.fd < 0) {
      reach.error = errno;
      continue;
    }
    if (::connect(reach.fd, reach.at->ai_addr, reach.at->ai_addrlen) == 0) return Open();
    if (errno == EINPROGRESS) return;  // Run's poll waits for it
    reach.error = errno;
    ::close(reach.fd);
    reach.fd = -1;
  }
  Failed(std::strerror(reach.error != 0 ? reach.error : EHOSTUNREACH));
}

void Service::Reached() {
  Reach& reach = *reach_;
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(reach.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
  if (error == 0) return Open();
  reach.error = error;
  ::close(reach.fd);
  reach.fd = -1;
  reach.at = reach.at->ai_next;
  NextAddress();
}

void Service::Open() {
  const BrokerUrl url = reach_->url;
  reach_.reset();  // its connection closes: the client makes its own
  session_ = std::make_unique<Session>();
  session_->url = url;
  sessionHandle_ = nullptr;  // publishing waits for the CONNACK
  session_->mosq = mosquitto_new(settings_.clientId.c_str(), true, this);
  if (session_->mosq == nullptr) {
    session_.reset();
    return Failed("cannot create a client");
  }
  mosquitto* mosq = session_->mosq;
  mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // A DDATA goes out at once, not held back for the last one's ACK (Nagle).
  mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
  if (!settings_.username.empty()) {
    mosquitto_username_pw_set(mosq, settings_.username.c_str(),
                              password_.empty() ? nullptr : password_.c_str());
  }
  if (url.tls) {
    std::string error;
    SslCtx ctx = MakeTlsContext(settings_, url, &session_->verdict, error);
    if (!ctx) {
      session_.reset();
      return Failed(error);
    }
    // The client takes its own reference; our verification, as is.
    mosquitto_void_option(mosq, MOSQ_OPT_SSL_CTX, ctx.get());
    mosquitto_int_option(mosq, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
  }
  mosquitto_log_callback_set(mosq, [](mosquitto*, void* self, int level, const char* text) {
    Service& service = *static_cast<Service*>(self);
    if ((level & MOSQ_LOG_ERR) != 0 && service.session_) service.session_->clientError = text;
  });
  mosquitto_connect_callback_set(
      mosq, [](mosquitto*, void* self, int rc) { static_cast<Service*>(self)->OnConnack(rc); });
  mosquitto_message_callback_set(mosq, [](mosquitto*, void* self, const mosquitto_message* m) {
    static_cast<Service*>(self)->OnMessage(
        m->topic,
        std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)));
  });
  session_->bdSeq = NextBdSeq();
  const std::string death = node_->DeathPayload(session_->bdSeq);
  mosquitto_will_set(mosq, node_->Topic("NDEATH").c_str(), static_cast<int>(death.size()),
                     death.data(), 1, false);
  ++connects_;
  session_->started = SteadyClock::now();
  const int rc = mosquitto_connect(mosq, url.host.c_str(), url.port, settings_.keepaliveS);
  if (rc != MOSQ_ERR_SUCCESS) {
    const int error = errno;
    const std::string why = rc == MOSQ_ERR_TLS     ? TlsFailure()
                            : rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(error))
                                                   : std::string(mosquitto_strerror(rc));
    // No CONNECT went out: the bdSeq is not used up.
    RestoreBdSeq(session_->bdSeq);
    session_.reset();
    Failed(why);
  }
}

std::string Service::TlsFailure() const {
  if (session_->verdict.error != X509_V_OK) {
    return ExplainVerdict(session_->verdict, settings_, session_->url);
  }
  return "TLS handshake failed: " + (session_->clientError.empty()
                                         ? std::string(mosquitto_strerror(MOSQ_ERR_TLS))
                                         : session_->clientError);
}

void Service::Failed(const std::string& why) {
  const std::string url = settings_.urls[urlIndex_ % settings_.urls.size()].text;
  reach_.reset();
  ++connectFailures_;
  // Once per change of the reason, not at each try.
  std::string& last = failures_[url];
  if (last != why) {
    last = why;
    core_.Log("mqtt: cannot connect to " + url + ": " + why +
              " (tried again with back-off; logged again when the reason changes)");
  }
  ++urlIndex_;
  nextAttempt_ = SteadyClock::now() + backoff_;
  backoff_ = std::min(kMaxBackoff, backoff_ * 2);
}

void Service::Serve(short revents) {
  mosquitto* mosq = session_->mosq;
  // While the TLS handshake goes on, reading carries it on (both ways);
  // the CONNECT waits in the client until it is done.
  const auto* ssl = static_cast<const SSL*>(mosquitto_ssl_get(mosq));
  const bool handshake = ssl != nullptr && SSL_is_init_finished(ssl) == 0;
  int rc = MOSQ_ERR_SUCCESS;
  if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 || (handshake && (revents & POLLOUT) != 0)) {
    rc = mosquitto_loop_read(mosq, 1);
  }
  if (rc == MOSQ_ERR_SUCCESS && !handshake && mosquitto_want_write(mosq)) {
    rc = mosquitto_loop_write(mosq, 1);
  }
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_misc(mosq);
  if (endSession_) {
    endSession_ = false;
    if (!session_->connacked) {
      session_.reset();
      return Failed(endWhy_);
    }
    Disconnect(endGraceful_, endWhy_);
    ++urlIndex_;
    if (endGraceful_) nextAttempt_ = SteadyClock::now();
  } else if (rc != MOSQ_ERR_SUCCESS) {
    const int error = errno;
    const std::string why = rc == MOSQ_ERR_TLS     ? TlsFailure()
                            : rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(error))
                                                   : std::string(mosquitto_strerror(rc));
    if (!session_->connacked) {
      // A TLS handshake that did not end sent no CONNECT: its bdSeq is not used up.
      if (handshake) RestoreBdSeq(session_->bdSeq);
      session_.reset();
      return Failed(why);
    }
    Disconnect(false, why);
    ++urlIndex_;
  }
}

short Service::SessionEvents() const {
  mosquitto* mosq = session_->mosq;
  const auto* ssl = static_cast<const SSL*>(mosquitto_ssl_get(mosq));
  if (ssl != nullptr && SSL_is_init_finished(ssl) == 0) {
    return static_cast<short>(POLLIN | (SSL_want_write(ssl) ? POLLOUT : 0));
  }
  return static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0));
}

void Service::OnConnack(int rc) {
  if (!session_) return;
  if (rc != 0) {
    endSession_ = true;
    endGraceful_ = false;
    endWhy_ = std::string("the broker refused the connection: ") + mosquitto_connack_string(rc);
    return;
  }
  session_->connacked = true;
  sessionHandle_ = session_->mosq;
  backoff_ = std::chrono::milliseconds(500);
  failures_.erase(session_->url.text);
  core_.Log("mqtt: connected to " + session_->url.text + " as " + settings_.clientId + " (bdSeq " +
            std::to_string(session_->bdSeq) + ")");
  mosquitto* mosq = session_->mosq;
  mosquitto_subscribe(mosq, nullptr, node_->Topic("NCMD").c_str(), 1);
  mosquitto_subscribe(mosq, nullptr, (node_->Topic("DCMD") + "/+").c_str(), 1);
  if (!settings_.primaryHostId.empty()) {
    mosquitto_subscribe(mosq, nullptr, ("spBv1.0/STATE/" + settings_.primaryHostId).c_str(), 1);
  }
  // Values first, so the births carry the current ones.
  for (size_t d = 0; d < model_.devices.size(); ++d) {
    std::vector<Value> values;
    const bool up = core_.ReadDevice(model_.devices[d], values);
    node_->Sample(d, values, up, NowMs());
  }
  const uint64_t replayed = node_->Counters().replayed;
  const auto start = SteadyClock::now();
  node_->SessionStarted(session_->bdSeq, NowMs());
  LogReplay("births", replayed, start);
}

void Service::Disconnect(bool graceful, const std::string& why) {
  if (!session_) return;
  mosquitto* mosq = session_->mosq;
  if (graceful && session_->connacked) {
    // NDEATH, then DISCONNECT: the broker then drops the will.
    const std::string death = node_->DeathPayload(session_->bdSeq);
    mosquitto_publish(mosq, nullptr, node_->Topic("NDEATH").c_str(), static_cast<int>(death.size()),
                      death.data(), 0, false);
    mosquitto_disconnect(mosq);
    const auto until = SteadyClock::now() + std::chrono::seconds(2);
    while (mosquitto_want_write(mosq) && SteadyClock::now() < until) {
      pollfd fd{mosquitto_socket(mosq), POLLOUT, 0};
      if (fd.fd < 0 || ::poll(&fd, 1, 100) < 0 || mosquitto_loop_write(mosq, 1) != MOSQ_ERR_SUCCESS)
        break;
    }
  }
  if (!why.empty()) core_.Log("mqtt: session with " + session_->url.text + " ended: " + why);
  if (session_->connacked) ++sessionsLost_;
  sessionHandle_ = nullptr;
  node_->SessionLost();
  session_.reset();
  nextAttempt_ = SteadyClock::now() + backoff_;
  backoff_ = std::min(kMaxBackoff, backoff_ * 2);
}

}  // namespace mqtt
