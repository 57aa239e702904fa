// The [[unit]] tables and the Modbus tables each maps.
#include <algorithm>
#include <cctype>
#include <vector>

#include "gateway/config/reader.h"
#include "host/status.h"

namespace gateway::parse {

namespace {

Table ReadTable(const toml::table& raw, Kind kind, uint32_t unitPoll, uint32_t unitAge) {
  Reader r(raw);
  std::set<std::string> keys = {"address", "count", "poll_ms", "max_age_ms"};
  const char* letters = kind == Kind::Holding ? "vf"
                        : kind == Kind::Input ? "vf"
                        : kind == Kind::Coil  ? "ycv"
                                              : "xyc";
  for (const char* l = letters; *l; ++l) keys.insert(std::string(1, *l));
  if (kind == Kind::Coil) keys.insert("bit");
  if (kind == Kind::Holding || kind == Kind::Coil) keys.insert("writable");
  if (kind == Kind::Holding || kind == Kind::Input) {
    keys.insert("word_order");
    keys.insert("signed");    // the MQTT edge node's datatype for V words
    keys.insert("deadband");  // and its exception threshold for F values
  }
  const std::string where = std::string(KindName(kind)) + " table";
  r.CheckKeys(keys, where.c_str());

  Table t;
  t.kind = kind;
  t.sourceLine = r.Start();
  const std::optional<int64_t> address = r.Int("address", 0, 65535);
  const std::optional<int64_t> count = r.Int("count", 1, 65536);
  if (!address || !count) throw Refusal{t.sourceLine, where + " needs address and count"};
  t.address = static_cast<uint32_t>(*address);
  t.count = static_cast<uint32_t>(*count);
  if (t.address + t.count - 1 > 65535) {
    throw Refusal{r.Line("count"), where + ": Modbus range " + std::to_string(t.address) + ".." +
                                       std::to_string(t.address + t.count - 1) +
                                       " goes beyond 65535"};
  }
  int found = 0;
  for (const char* l = letters; *l; ++l) {
    const std::string key(1, *l);
    if (!r.Has(key.c_str())) continue;
    ++found;
    const toml::node* node = raw.get(key);
    const auto* value = node->as_integer();
    if (value == nullptr) {
      WrongType(*node, key, "an element address (an integer, 1 to 65535 / 0x0001 to 0xFFFF)");
    }
    const int64_t v = value->get();
    if (v < 1 || v > 0xFFFF) {
      throw Refusal{LineOf(*node),
                    key + " address " + std::to_string(v) + " is outside 0001..FFFF"};
    }
    t.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(*l)));
    t.element = static_cast<uint32_t>(v);
  }
  if (found != 1) {
    std::string names;
    for (const char* l = letters; *l; ++l) names += std::string(names.empty() ? "" : " or ") + *l;
    throw Refusal{t.sourceLine, where + " needs exactly one point key: " + names};
  }
  if (const std::optional<int64_t> bit = r.Int("bit", 0, 15)) {
    if (t.letter != 'V') throw Refusal{r.Line("bit"), "bit applies to coils on V words only"};
    t.bit = static_cast<int>(*bit);
  } else if (kind == Kind::Coil && t.letter == 'V') {
    t.bit = 0;
  }
  if (t.letter == 'F') {
    if (t.element % 2 != 0) {
      throw Refusal{r.Line("f"), "F range at the odd address " +
                                     zortw_host::Hex4(static_cast<int32_t>(t.element)) +
                                     ": F values start at even addresses"};
    }
    if (t.count % 2 != 0) {
      throw Refusal{r.Line("count"), "an F range takes two registers per value: count " +
                                         std::to_string(t.count) + " is odd"};
    }
  }
  t.writable = r.Bool("writable").value_or(false);
  if (std::optional<std::string> order = r.Str("word_order")) {
    if (t.letter != 'F') throw Refusal{r.Line("word_order"), "word_order applies to F tables only"};
    if (*order != "high-first" && *order != "low-first") {
      throw Refusal{r.Line("word_order"),
                    "word_order '" + *order + "' is not \"high-first\" or \"low-first\""};
    }
    t.lowWordFirst = *order == "low-first";
  }
  if (const std::optional<bool> value = r.Bool("signed")) {
    if (t.letter != 'V') throw Refusal{r.Line("signed"), "signed applies to V tables only"};
    t.isSigned = *value;
  }
  if (const toml::node* node = raw.get("deadband")) {
    const std::optional<double> value = node->value<double>();
    if (!value) WrongType(*node, "deadband", "a number >= 0");
    if (*value < 0) throw Refusal{LineOf(*node), "deadband must be a number >= 0"};
    if (t.letter != 'F') throw Refusal{LineOf(*node), "deadband applies to F tables only"};
    t.deadband = *value;
  }
  if (t.LastElement() > 0xFFFF) {
    throw Refusal{r.Line("count"), where + ": elements " +
                                       zortw_host::Hex4(static_cast<int32_t>(t.element)) +
                                       " and on run past " + "FFFF (address outside 0001..FFFF)"};
  }
  t.pollMs = static_cast<uint32_t>(r.Int("poll_ms", 0, 3600000).value_or(unitPoll));
  t.maxAgeMs = static_cast<uint32_t>(r.Int("max_age_ms", 1, 86400000).value_or(unitAge));
  return t;
}
// FILE:LINE of a line of the file node comes from.
std::string Where(const toml::node& node, int line) {
  const auto& path = node.source().path;
  return (path ? *path : std::string("the file")) + ":" + std::to_string(line);
}

// Two units on one station of one line must read different points: the
// same points twice would be polled twice and written from two ids.
void CheckSharedStation(const toml::node& node, const Config& config, const Unit& unit) {
  for (const Unit& other : config.units) {
    if (other.line != unit.line || other.station != unit.station) continue;
    for (const Table& a : unit.tables) {
      for (const Table& b : other.tables) {
        if (a.Memory() != b.Memory() || a.FirstElement() > b.LastElement() ||
            b.FirstElement() > a.LastElement()) {
          continue;
        }
        char station[8];
        std::snprintf(station, sizeof station, "%02X", unit.station);
        throw Refusal{
            unit.sourceLine,
            "unit " + std::to_string(unit.id) + " and unit " + std::to_string(other.id) + " (" +
                Where(node, other.sourceLine) + ") both read station " + station + " on line '" +
                config.lines[unit.line].name + "': their " + std::string(1, a.Memory()) +
                " ranges " + zortw_host::Hex4(static_cast<int32_t>(a.FirstElement())) + ".." +
                zortw_host::Hex4(static_cast<int32_t>(a.LastElement())) + " (" +
                Where(node, a.sourceLine) + ") and " +
                zortw_host::Hex4(static_cast<int32_t>(b.FirstElement())) + ".." +
                zortw_host::Hex4(static_cast<int32_t>(b.LastElement())) + " (" +
                Where(node, b.sourceLine) +
                ") overlap; map those points in one unit, or give each unit points of its own"};
      }
    }
  }
}

}  // namespace

void ReadUnits(const toml::table& root, Config& config) {
  const toml::node* units = root.get("unit");
  if (units == nullptr || !units->is_array_of_tables()) {
    throw Refusal{units ? LineOf(*units) : 1, "the file needs at least one [[unit]]"};
  }
  for (const toml::node& node : *units->as_array()) {
    Reader r(*node.as_table());
    r.CheckKeys({"id", "name", "line", "station", "poll_ms", "max_age_ms", "holding", "input",
                 "coil", "discrete"},
                "[[unit]]");
    Unit unit;
    unit.sourceLine = r.Start();
    const std::optional<int64_t> id = r.Int("id", 1, 255);
    if (!id) throw Refusal{unit.sourceLine, "[[unit]] needs id (1..255)"};
    unit.id = static_cast<int>(*id);
    if (unit.id == config.diagnosticsUnit) {
      throw Refusal{r.Line("id"), "unit " + std::to_string(unit.id) +
                                      " is the diagnostics unit (gateway.diagnostics_unit)"};
    }
    for (const Unit& other : config.units) {
      if (other.id == unit.id) {
        throw Refusal{r.Line("id"), "unit " + std::to_string(unit.id) +
                                        " is configured twice (first at line " +
                                        std::to_string(other.sourceLine) + ")"};
      }
    }
    const std::string lineName = r.Required("line", "[[unit]]");
    auto found = std::find_if(config.lines.begin(), config.lines.end(),
                              [&](const LineConfig& l) { return l.name == lineName; });
    if (found == config.lines.end()) {
      throw Refusal{r.Line("line"), "no [[line]] is named '" + lineName + "'"};
    }
    unit.line = static_cast<size_t>(found - config.lines.begin());
    const toml::node* stationNode = node.as_table()->get("station");
    if (stationNode == nullptr) throw Refusal{unit.sourceLine, "[[unit]] needs station"};
    const auto* station = stationNode->as_integer();
    if (station == nullptr) {
      WrongType(*stationNode, "station", "an integer (1 to 254 / 0x01 to 0xFE)");
    }
    if (station->get() < 1 || station->get() > 254) {
      throw Refusal{LineOf(*stationNode), "station = " + std::to_string(station->get()) +
                                              " is outside 1 to 254 (0x01 to 0xFE)"};
    }
    unit.station = static_cast<int>(station->get());
    if (std::optional<std::string> name = r.Str("name")) {
      if (!mqtt::ValidSparkplugId(*name)) {
        throw Refusal{r.Line("name"),
                      "unit name '" + *name + "' must be UTF-8 text without + / or #"};
      }
      unit.name = *name;
    }
    const uint32_t poll = static_cast<uint32_t>(r.Int("poll_ms", 0, 3600000).value_or(1000));
    const uint32_t age = static_cast<uint32_t>(r.Int("max_age_ms", 1, 86400000).value_or(10000));
    unit.pollMs = poll;
    unit.maxAgeMs = age;
    for (Kind kind : {Kind::Holding, Kind::Input, Kind::Coil, Kind::Discrete}) {
      const toml::node* list = node.as_table()->get(KindName(kind));
      if (list == nullptr) continue;
      if (!list->is_array_of_tables()) {
        throw Refusal{LineOf(*list), std::string("write the ") + KindName(kind) +
                                         " tables as [[unit." + KindName(kind) + "]]"};
      }
      for (const toml::node& entry : *list->as_array()) {
        unit.tables.push_back(ReadTable(*entry.as_table(), kind, poll, age));
      }
    }
    // With a tag file, a unit may publish tags only (checked once they are read).
    if (unit.tables.empty() && config.tagsFile.empty()) {
      throw Refusal{unit.sourceLine, "unit maps no table"};
    }
    // Modbus ranges of one kind must not overlap.
    std::vector<const Table*> sorted;
    for (const Table& t : unit.tables) sorted.push_back(&t);
    std::sort(sorted.begin(), sorted.end(), [](const Table* a, const Table* b) {
      return a->kind != b->kind ? a->kind < b->kind : a->address < b->address;
    });
    for (size_t i = 1; i < sorted.size(); ++i) {
      const Table& a = *sorted[i - 1];
      const Table& b = *sorted[i];
      if (a.kind == b.kind && b.address <= a.address + a.count - 1) {
        const Table& later = a.sourceLine > b.sourceLine ? a : b;
        const Table& earlier = a.sourceLine > b.sourceLine ? b : a;
        throw Refusal{later.sourceLine,
                      std::string(KindName(a.kind)) + " range " + std::to_string(later.address) +
                          ".." + std::to_string(later.address + later.count - 1) +
                          " overlaps the range at line " + std::to_string(earlier.sourceLine)};
      }
    }
    CheckSharedStation(node, config, unit);
    config.units.push_back(std::move(unit));
  }
}

}  // namespace gateway::parse
