// The points of a unit as the status page shows them: one entry per Modbus
// register or bit, its controller point, the value as Modbus serves it (then
// one per tag of a tag file, its value in engineering units as Sparkplug
// publishes it), and
// its quality (good, last poll failed, never read, too old) with the reason
// in words and the age of its last good read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/core/gateway.h"

namespace gateway::web {

struct PointView {
  Kind kind = Kind::Holding;
  uint32_t address = 0;  // Modbus address (0-based)
  std::string tag;       // a tag's name (its address is then none): a tag file's units
  std::string units;     // a tag's engineering units
  std::string point;     // the controller's point, as the driver names it
  double value = 0;      // meaningful once read: as Modbus serves it, or a tag's engineering value
  bool good = false;
  std::string quality;          // "good", "last poll failed", "never read", "too old"
  std::string reason;           // in words, empty when good
  uint32_t ageMs = UINT32_MAX;  // since the last good read (UINT32_MAX: never)
};

// A driver status in words ("no reply (status 2)").
std::string StatusWords(int32_t status);

// A unit's points through the core's point interface (on the event loop).
std::vector<PointView> ReadUnitPoints(const Gateway& gateway, size_t unit, Clock::time_point now);

}  // namespace gateway::web
