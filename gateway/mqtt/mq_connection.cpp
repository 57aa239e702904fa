// The edge node's connection: a client per attempt with its will, TLS and
// credentials, the TCP connection on a thread of its own, the CONNACK and
// the subscriptions, fail-over along the urls with back-off, the bdSeq
// kept across attempts, and the session's end (NDEATH, then DISCONNECT).
#include "gateway/mqtt/mq_connection.h"

#include <mosquitto.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

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

bool Service::Connect() {
  const BrokerUrl& url = settings_.urls[urlIndex_ % settings_.urls.size()];
  auto session = std::make_unique<Session>();
  session->url = url.text;
  session->mosq = mosquitto_new(settings_.clientId.c_str(), true, this);
  if (session->mosq == nullptr) {
    core_.Log("mqtt: cannot create a client");
    return false;
  }
  mosquitto* mosq = session->mosq;
  mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // A DDATA goes out at once, not held back for the last one's ACK (Nagle).
  mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
  if (!settings_.username.empty()) {
    mosquitto_username_pw_set(mosq, settings_.username.c_str(),
                              password_.empty() ? nullptr : password_.c_str());
  }
  if (url.tls) {
    const char* ca = settings_.caFile.empty() ? nullptr : settings_.caFile.c_str();
    const int rc =
        mosquitto_tls_set(mosq, ca, ca == nullptr ? "/etc/ssl/certs" : nullptr,
                          settings_.certFile.empty() ? nullptr : settings_.certFile.c_str(),
                          settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      core_.Log("mqtt: TLS settings refused: " + std::string(mosquitto_strerror(rc)));
      return false;
    }
    if (!settings_.tlsVerify) {
      mosquitto_tls_opts_set(mosq, 0, nullptr, nullptr);
      mosquitto_tls_insecure_set(mosq, true);
    }
  }
  mosquitto_connect_callback_set(
      mosq, [](mosquitto*, void* self, int rc) { static_cast<Service*>(self)->OnConnack(rc); });
  mosquitto_message_callback_set(mosq, [](mosquitto*, void* self, const mosquitto_message* m) {
    static_cast<Service*>(self)->OnMessage(
        m->topic,
        std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)));
  });
  session->bdSeq = NextBdSeq();
  const std::string death = node_->DeathPayload(session->bdSeq);
  mosquitto_will_set(mosq, node_->Topic("NDEATH").c_str(), static_cast<int>(death.size()),
                     death.data(), 1, false);
  connects_++;
  // The TCP connection (and TLS handshake) block: they run on a thread of
  // their own, so that polls are still taken (and stored) meanwhile, and a
  // broker that does not answer at all is given up after kConnackTimeout.
  auto attempt = std::make_shared<Attempt>();
  attempt->session = std::move(session);
  attempt->wakeFd = ::dup(wakeFd_);
  attempt->url = url;
  const int keepalive = settings_.keepaliveS;
  std::thread([attempt, keepalive] {
    const int rc = mosquitto_connect(attempt->session->mosq, attempt->url.host.c_str(),
                                     attempt->url.port, keepalive);
    const int error = errno;
    std::lock_guard<std::mutex> lock(attempt->mutex);
    attempt->done = true;
    attempt->rc = rc;
    attempt->error = error;
    if (attempt->abandoned) {
      attempt->session.reset();  // its will, if the CONNECT went out, names a bdSeq no NBIRTH has
      return;
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(attempt->wakeFd, &one, sizeof one);
  }).detach();
  attempt_ = attempt;
  attemptSince_ = SteadyClock::now();
  return true;
}

void Service::Attempted() {
  if (!attempt_) return;
  std::unique_ptr<Session> session;
  int rc = 0, error = 0;
  {
    std::lock_guard<std::mutex> lock(attempt_->mutex);
    if (!attempt_->done) {
      if (SteadyClock::now() - attemptSince_ < kConnackTimeout) return;
      attempt_->abandoned = true;
      connectFailures_++;
      core_.Log("mqtt: no answer from " + attempt_->url.text + " within 10 s");
    } else {
      session = std::move(attempt_->session);
      rc = attempt_->rc;
      error = attempt_->error;
    }
  }
  const BrokerUrl url = attempt_->url;
  attempt_.reset();
  if (session && rc == MOSQ_ERR_SUCCESS) {
    session->started = SteadyClock::now();
    session_ = std::move(session);
    sessionHandle_ = nullptr;  // publishing waits for the CONNACK
    return;
  }
  if (session) {
    // No CONNECT went out (the TCP connection or TLS failed): the bdSeq is
    // not used up.
    RestoreBdSeq(session->bdSeq);
    connectFailures_++;
    core_.Log("mqtt: cannot connect to " + url.text + ": " +
              (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(error)) : mosquitto_strerror(rc)));
  }
  ++urlIndex_;
  nextAttempt_ = SteadyClock::now() + backoff_;
  backoff_ = std::min(kMaxBackoff, backoff_ * 2);
}

void Service::OnConnack(int rc) {
  if (!session_) return;
  if (rc != 0) {
    connectFailures_++;
    core_.Log("mqtt: " + session_->url +
              " refused the connection: " + mosquitto_connack_string(rc));
    endSession_ = true;
    endGraceful_ = false;
    endWhy_.clear();
    return;
  }
  session_->connacked = true;
  sessionHandle_ = session_->mosq;
  backoff_ = std::chrono::milliseconds(500);
  core_.Log("mqtt: connected to " + session_->url + " as " + settings_.clientId + " (bdSeq " +
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
  LogReplay(replayed, start);
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
  if (!why.empty()) core_.Log("mqtt: session with " + session_->url + " ended: " + why);
  if (session_->connacked) sessionsLost_++;
  sessionHandle_ = nullptr;
  node_->SessionLost();
  session_.reset();
  nextAttempt_ = SteadyClock::now() + backoff_;
  backoff_ = std::min(kMaxBackoff, backoff_ * 2);
}

}  // namespace mqtt
