#include "gateway/net/connection_set.h"

#include <utility>

namespace gateway::net {

ConnectionSet::Room ConnectionSet::RoomFor(const std::string& address) const {
  const auto counted = perAddress_.find(address);
  Room room;
  room.addressFull = counted != perAddress_.end() && counted->second >= maxPerAddress_;
  room.full = static_cast<int>(connections_.size()) >= max_;
  return room;
}

ConnectionSet::Ptr ConnectionSet::Victim(const std::string* address) const {
  Ptr victim;
  for (const Ptr& c : connections_) {
    if (!c->Idle() || (address != nullptr && c->Address() != *address)) continue;
    if (!victim || std::make_pair(c->EverRequested(), c->LastRequest()) <
                       std::make_pair(victim->EverRequested(), victim->LastRequest())) {
      victim = c;
    }
  }
  return victim;
}

void ConnectionSet::Add(const Ptr& c) {
  c->slot = connections_.insert(connections_.end(), c);
  ++perAddress_[c->Address()];
}

bool ConnectionSet::Remove(Connection& c) {
  connections_.erase(c.slot);
  const auto counted = perAddress_.find(c.Address());
  if (counted == perAddress_.end() || --counted->second > 0) return false;
  perAddress_.erase(counted);
  return true;
}

}  // namespace gateway::net
