// Modbus TCP served on a connection: whole requests taken from its input in
// the order they came (any number pipelined), checked, authorised and
// answered: reads from the cache at once, writes through their line (the
// connection is held until the write is answered, which keeps the order),
// every write audited.
#pragma once

#include <asio.hpp>
#include <map>
#include <memory>
#include <string>

#include "gateway/access/rate.h"
#include "gateway/core/gateway.h"
#include "gateway/modbus/units.h"
#include "gateway/net/connection.h"
#include "gateway/net/notes.h"

namespace gateway::modbus {

class Service {
 public:
  Service(asio::io_context& io, Gateway& gateway, net::Notes& notes)
      : io_(io), gateway_(gateway), units_(gateway), notes_(notes) {}
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Takes and answers the whole requests `c` has received.
  void Received(const std::shared_ptr<net::Connection>& c);
  // The request rate of an address starts afresh (its last connection
  // closed; or a reload changed the rates).
  void Forget(const std::string& address) { buckets_.erase(address); }
  void ForgetAll() { buckets_.clear(); }

 private:
  void Handle(const std::shared_ptr<net::Connection>& c, const uint8_t* frame, size_t size);

  // All of it the event loop's.
  asio::io_context& io_;
  Gateway& gateway_;
  Units units_;
  net::Notes& notes_;
  std::map<std::string, access::Bucket> buckets_;  // each address's requests
};

}  // namespace gateway::modbus
