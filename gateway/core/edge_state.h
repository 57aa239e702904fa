// What the MQTT edge node tells of itself, in numbers any report can read
// (the metrics, the diagnostics registers, the status page): a copy taken
// at one moment, so readers hold no lock of the edge node.
#pragma once

#include <cstdint>
#include <string>

namespace gateway {

struct EdgeState {
  bool enabled = false;    // the configuration has [mqtt]
  bool sessionUp = false;  // CONNACK received, births may go out
  uint64_t connects = 0, connectFailures = 0, sessionsLost = 0;
  uint64_t published = 0, stored = 0, replayed = 0, dropped = 0;
  uint64_t storeDepth = 0;  // changes waiting in the store now
  uint64_t commands = 0, writes = 0, refusedCommands = 0;
  uint64_t bdSeq = 0;
  std::string broker;       // the url in use or tried last
  std::string primaryHost;  // empty: none configured
  bool hostOnline = false;  // the primary host's STATE says online
};

}  // namespace gateway
