// The open connections and their limits: so many in all, so many from one
// address. A full server still serves: an idle connection gives way to a new
// one (among the address's own when the address is at its limit), one that
// never sent a whole request first, then the one whose last request is the
// oldest.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gateway/net/connection.h"

namespace gateway::net {

class ConnectionSet {
 public:
  using Ptr = std::shared_ptr<Connection>;
  ConnectionSet(int maxConnections, int maxPerAddress)
      : max_(maxConnections), maxPerAddress_(maxPerAddress) {}

  // Whether a new connection from `address` needs another to give way:
  // `addressFull` when the address is at its limit, `full` when every slot is taken.
  struct Room {
    bool addressFull = false, full = false;
    bool Needed() const { return addressFull || full; }
  };
  Room RoomFor(const std::string& address) const;
  // The idle connection to give way: the address's own when `address` is
  // given; nullptr when none is idle.
  Ptr Victim(const std::string* address) const;

  void Add(const Ptr& c);
  // Takes a connection out; true when it was its address's last.
  bool Remove(Connection& c);

  size_t Size() const { return connections_.size(); }
  bool Empty() const { return connections_.empty(); }
  const Ptr& Front() const { return connections_.front(); }
  int MaxPerAddress() const { return maxPerAddress_; }
  // A copy, for loops that may close connections as they go.
  std::vector<Ptr> All() const { return {connections_.begin(), connections_.end()}; }

 private:
  int max_, maxPerAddress_;
  std::list<Ptr> connections_;
  std::map<std::string, int> perAddress_;
};

}  // namespace gateway::net
