#include "gateway/net/connection_rate.h"

namespace gateway::net {

bool ConnectionRate::Admit(const std::string& address, int rate, Clock::time_point now) {
  if (rate <= 0) return true;
  // An address whose bucket is full again is the same as one never seen:
  // forgotten, at most once a second, so the table holds the last second's.
  if (now - pruned_ >= std::chrono::seconds(1)) {
    pruned_ = now;
    std::erase_if(addresses_, [&](const auto& entry) {
      return entry.second.refused == 0 && access::Full(entry.second.bucket, rate, now);
    });
  }
  Address& entry = addresses_[address];
  if (access::Take(entry.bucket, rate, now)) return true;
  if (logArmed_) {
    ++entry.refused;
    ++refused_;
    return false;
  }
  Log("refused a connection from " + address + ": over max_connections_per_s (" +
      std::to_string(rate) + "); further refusals are summed up once a second");
  logArmed_ = true;
  log_.expires_after(std::chrono::seconds(1));
  log_.async_wait([this](const asio::error_code& ec) {
    if (!ec) SumUp();
  });
  return false;
}

void ConnectionRate::SumUp() {
  if (refused_ == 0) {
    logArmed_ = false;  // the next refusal is logged at once
    return;
  }
  const std::string* most = nullptr;
  uint64_t mostRefused = 0;
  size_t addresses = 0;
  for (auto& [address, entry] : addresses_) {
    if (entry.refused == 0) continue;
    ++addresses;
    if (entry.refused > mostRefused) {
      most = &address;
      mostRefused = entry.refused;
    }
  }
  Log("refused " + std::to_string(refused_) +
      " connections over max_connections_per_s in the last second, from " +
      std::to_string(addresses) + (addresses == 1 ? " address" : " addresses") + " (most from " +
      (most != nullptr ? *most : std::string("?")) + ": " + std::to_string(mostRefused) + ")");
  for (auto& entry : addresses_) entry.second.refused = 0;
  refused_ = 0;
  log_.expires_after(std::chrono::seconds(1));
  log_.async_wait([this](const asio::error_code& ec) {
    if (!ec) SumUp();
  });
}

}  // namespace gateway::net
