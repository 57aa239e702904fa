// What the edge node publishes, from the gateway's configuration: one
// Sparkplug device per unit, one metric per word, value or discrete its
// tables read (named by its point address text), each with an alias unique
// across the node; and the node's own metrics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/config/config.h"

namespace mqtt {

// Sparkplug datatypes the node uses (the enum of the payload schema).
enum class DataType : uint32_t {
  Int16 = 2,
  UInt16 = 6,
  UInt64 = 8,
  Float = 9,
  Boolean = 11,
  String = 12,
};

struct MetricDef {
  std::string name;  // "V0064", "F0200", "X0010", "V0064.3" (bit 3 of V0064)
  uint64_t alias = 0;
  DataType type = DataType::UInt16;
  // Where its value is read: table `table` of the unit, cache element
  // `offset` counted from the table's first element (F: the high word;
  // the low word follows), and for bits of V words the bit.
  size_t table = 0;
  uint32_t offset = 0;
  int bit = -1;
  double deadband = 0;    // F: smaller changes are not published
  uint32_t maxAgeMs = 0;  // older than this, the value is not good
  // The point: V (F values and bits of V words too), X, Y or C, and its
  // element (F: the high word's); writable when a writable table holds it.
  char memory = 'V';
  uint32_t element = 0;
  bool writable = false;
};

struct DeviceDef {
  std::string id;
  size_t unit = 0;  // index into the configuration's units
  int unitId = 0;   // the unit's id (its key for the core's writes)
  size_t line = 0;
  int station = 0;
  std::vector<MetricDef> metrics;
};

// Node metrics: fixed aliases 0-2, then three per line (state,
// transactions, failures), then the devices' metrics.
inline constexpr uint64_t kAliasBdSeq = 0, kAliasRebirth = 1, kAliasNextServer = 2;
inline constexpr uint64_t kAliasFirstLine = 3;
inline constexpr const char* kRebirth = "Node Control/Rebirth";
inline constexpr const char* kNextServer = "Node Control/Next Server";

struct Model {
  std::vector<std::string> lines;                     // line names, in configuration order
  std::vector<DeviceDef> devices;                     // in configuration order of the units
  uint64_t LineAlias(size_t line, int which) const {  // which: 0 state, 1 transactions, 2 failures
    return kAliasFirstLine + 3 * line + static_cast<uint64_t>(which);
  }
};

Model BuildModel(const gateway::Config& config);

// "V0064" and the like.
std::string PointName(char letter, uint32_t element);

}  // namespace mqtt
