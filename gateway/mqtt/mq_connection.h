// The edge node's connection to its broker: one session (its client handle
// and what it has reached) and one connection attempt at a time, with the
// periods the service's thread keeps.
#pragma once

#include <mosquitto.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "gateway/mqtt/mq_service.h"

namespace mqtt {

using SteadyClock = std::chrono::steady_clock;

inline constexpr auto kMaxBackoff = std::chrono::milliseconds(30000);
inline constexpr auto kTickPeriod = std::chrono::milliseconds(250);
inline constexpr auto kCounterPeriod = std::chrono::seconds(10);
inline constexpr auto kConnackTimeout = std::chrono::seconds(10);

// One MQTT connection: its client handle and what it has reached.
struct Service::Session {
  mosquitto* mosq = nullptr;
  uint64_t bdSeq = 0;
  std::string url;
  bool connacked = false;
  SteadyClock::time_point started{};
  ~Session() {
    if (mosq != nullptr) mosquitto_destroy(mosq);
  }
};

// A connection attempt, shared with the thread that makes it (which may
// outlive the service when the attempt is abandoned).
struct Service::Attempt {
  std::mutex mutex;
  bool done = false, abandoned = false;
  int rc = 0, error = 0;
  std::unique_ptr<Session> session;
  BrokerUrl url;
  int wakeFd = -1;  // a duplicate of the service's, closed with the attempt
  ~Attempt() {
    if (wakeFd >= 0) ::close(wakeFd);
  }
};

}  // namespace mqtt
