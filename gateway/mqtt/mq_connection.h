// The edge node's connection to its broker: the broker being reached (a
// TCP connection of the node's own, not blocking) and then one session (its
// client handle and what it has reached), with the periods the service's
// thread keeps. Both live on that thread alone.
#pragma once

#include <mosquitto.h>
#include <netdb.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "gateway/mqtt/mq_service.h"
#include "gateway/mqtt/mq_tls.h"

namespace mqtt {

using SteadyClock = std::chrono::steady_clock;

inline constexpr auto kMaxBackoff = std::chrono::milliseconds(30000);
inline constexpr auto kTickPeriod = std::chrono::milliseconds(250);
inline constexpr auto kCounterPeriod = std::chrono::seconds(10);
inline constexpr auto kConnackTimeout = std::chrono::seconds(10);

// A broker being reached: each of its addresses in turn, until one accepts
// a TCP connection (then closed: libmosquitto makes its own, at once).
struct Service::Reach {
  BrokerUrl url;
  addrinfo* addresses = nullptr;
  addrinfo* at = nullptr;  // the address being tried
  int fd = -1;
  int error = 0;  // the last address's failure (errno)
  SteadyClock::time_point since{};
  ~Reach() {
    if (fd >= 0) ::close(fd);
    if (addresses != nullptr) freeaddrinfo(addresses);
  }
};

// One MQTT connection: its client handle and what it has reached.
struct Service::Session {
  mosquitto* mosq = nullptr;
  uint64_t bdSeq = 0;
  BrokerUrl url;
  bool connacked = false;
  SteadyClock::time_point started{};
  TlsVerdict verdict;       // what the TLS handshake refused (its context writes it)
  std::string clientError;  // libmosquitto's last error line (its log)
  ~Session() {
    if (mosq != nullptr) mosquitto_destroy(mosq);
  }
};

}  // namespace mqtt
