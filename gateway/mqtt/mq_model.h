// What the edge node publishes, from the gateway's configuration: one
// Sparkplug device per unit; a unit with tags publishes exactly its tags
// (named, typed and scaled, with properties), one without publishes a
// metric per word, value or discrete its tables read (named by its point
// address text); each with an alias unique across the node; and the node's
// own metrics.
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
  Int32 = 3,
  UInt16 = 6,
  UInt32 = 7,
  UInt64 = 8,
  Float = 9,
  Double = 10,
  Boolean = 11,
  String = 12,
};

// A value's bits in its datatype (as Value::bits carries them) and back:
// UInt16/Int16/UInt32/Int32 their two's complement, Float and Double their
// IEEE bits, Boolean 0 or 1.
uint64_t BitsOf(DataType type, double value);
double NumberOf(DataType type, uint64_t bits);

// The per-metric quality property host applications read ("Quality",
// Int32), as their quality codes carry it: the level in the two highest
// bits (bad: 10) above the code. Good (192); Bad (level bad, 512: its read
// failed, it was never read, or a BCD digit is above 9); Bad_Stale (level
// bad, 516: older than max_age_ms). A bad code without its level bit would
// read as good.
inline constexpr int32_t kQualityGood = 192;
inline constexpr int32_t kQualityBad = static_cast<int32_t>(0x80000000u | 512u);    // -2147483136
inline constexpr int32_t kQualityStale = static_cast<int32_t>(0x80000000u | 516u);  // -2147483132

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
  // A tag's metric: `table` is the tag's index in the unit's tags, `tag`
  // its definition (type, scaling, units, description, writable).
  bool isTag = false;
  gateway::Tag tag;
};

// The same birth: name, alias, datatype and, for tags, their properties.
bool SameBirth(const MetricDef& a, const MetricDef& b);

struct DeviceDef {
  std::string id;
  size_t unit = 0;  // index into the configuration's units
  int unitId = 0;   // the unit's id (its key for the core's writes)
  size_t line = 0;
  int station = 0;
  bool tagged = false;  // its metrics are its tags: quality per metric
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

// The tag file of every address metric the configuration publishes without
// tags (one row per metric, named by its address, typed as published).
std::string ExportTags(const gateway::Config& config);

// "V0064" and the like.
std::string PointName(char letter, uint32_t element);

}  // namespace mqtt
