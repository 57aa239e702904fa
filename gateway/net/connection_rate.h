// New connections per client address, held to max_connections_per_s (a token
// bucket of one second each). Refusals are logged once, then summed up once
// a second while they go on.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <map>
#include <string>

#include "gateway/access/rate.h"
#include "gateway/core/line.h"

namespace gateway::net {

class ConnectionRate {
 public:
  explicit ConnectionRate(asio::io_context& io) : log_(io) {}
  // Whether a new connection from `address` is within `rate` a second (0: no
  // limit); a refusal is counted for the log.
  bool Admit(const std::string& address, int rate, Clock::time_point now);
  void Stop() { log_.cancel(); }

 private:
  void SumUp();

  struct Address {
    access::Bucket bucket;
    uint64_t refused = 0;  // since the last summary
  };
  std::map<std::string, Address> addresses_;
  Clock::time_point pruned_{};
  asio::steady_timer log_;
  bool logArmed_ = false;
  uint64_t refused_ = 0;  // since the last summary
};

}  // namespace gateway::net
