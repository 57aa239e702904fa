// Modbus TCP served on a connection: whole requests taken from its input in
// the order they came (any number pipelined), checked, authorised and
// answered: reads from the cache at once, writes through their line (the
// connection is held until the write is answered, which keeps the order),
// every write audited.
#pragma once

#include <asio.hpp>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "gateway/access/rate.h"
#include "gateway/core/gateway.h"
#include "gateway/net/connection.h"
#include "gateway/net/notes.h"

namespace gateway::modbus {

class Service {
 public:
  Service(asio::io_context& io, Gateway& gateway, net::Notes& notes)
      : io_(io), gateway_(gateway), notes_(notes), expiry_(io) {}
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Takes and answers the whole requests `c` has received.
  void Received(const std::shared_ptr<net::Connection>& c);
  // The request rate of an address starts afresh (its last connection
  // closed; or a reload changed the rates).
  void Forget(const std::string& address) { buckets_.erase(address); }
  void ForgetAll() { buckets_.clear(); }
  void Stop() { expiry_.cancel(); }

 private:
  void Handle(const std::shared_ptr<net::Connection>& c, const uint8_t* frame, size_t size);
  // A write queued for `unit` is answered 0x0B once it has waited its line's
  // write_timeout_ms: the line is asked to expire it then.
  void ExpireAfterTimeout(int unit);
  void ArmExpiry();

  asio::io_context& io_;
  Gateway& gateway_;
  net::Notes& notes_;
  std::map<std::string, access::Bucket> buckets_;  // each address's requests
  asio::steady_timer expiry_;
  std::multiset<Clock::time_point> expiries_;  // when queued writes time out
};

}  // namespace gateway::modbus
