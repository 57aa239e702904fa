#include "gateway/gw_config.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

namespace gateway {

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Holding:
      return "holding";
    case Kind::Input:
      return "input";
    case Kind::Coil:
      return "coil";
    case Kind::Discrete:
      return "discrete";
  }
  return "?";
}

uint32_t Table::LastElement() const {
  if (bit >= 0) return element + (static_cast<uint32_t>(bit) + count - 1) / 16;
  return element + count - 1;
}

uint32_t Table::ElementOf(uint32_t k) const {
  if (bit >= 0) return element + (static_cast<uint32_t>(bit) + k) / 16;
  if (letter == 'F' && lowWordFirst) return element + (k ^ 1u);
  return element + k;
}

namespace {

// An address as 4 (IPv4, also IPv4-mapped IPv6) or 16 bytes; false when not one.
bool ParseAddress(const std::string& text, std::array<uint8_t, 16>& bytes, bool& v6) {
  bytes.fill(0);
  if (inet_pton(AF_INET, text.c_str(), bytes.data()) == 1) {
    v6 = false;
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), bytes.data()) != 1) return false;
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::equal(kMapped, kMapped + 12, bytes.begin())) {
    std::copy(bytes.begin() + 12, bytes.end(), bytes.begin());
    std::fill(bytes.begin() + 4, bytes.end(), 0);
    v6 = false;
    return true;
  }
  v6 = true;
  return true;
}

}  // namespace

bool ClientRule::Matches(const std::string& address) const {
  std::array<uint8_t, 16> bytes{};
  bool isV6 = false;
  if (!ParseAddress(address, bytes, isV6) || isV6 != v6) return false;
  for (int bitIndex = 0; bitIndex < prefix; ++bitIndex) {
    const uint8_t mask = static_cast<uint8_t>(0x80u >> (bitIndex % 8));
    if ((bytes[static_cast<size_t>(bitIndex / 8)] & mask) !=
        (network[static_cast<size_t>(bitIndex / 8)] & mask)) {
      return false;
    }
  }
  return true;
}

bool SplitHostPort(const std::string& text, std::string& host, int& port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size()) return false;
  host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  char* end = nullptr;
  const long value = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || value < 0 || value > 65535) return false;
  std::array<uint8_t, 16> bytes{};
  bool v6 = false;
  if (!ParseAddress(host, bytes, v6)) return false;
  port = static_cast<int>(value);
  return true;
}

bool ClientRule::Reaches(int unit) const {
  return units.empty() || std::find(units.begin(), units.end(), unit) != units.end();
}

const ClientRule* Config::RuleFor(const std::string& address) const {
  for (const ClientRule& rule : clients) {
    if (rule.Matches(address)) return &rule;
  }
  return nullptr;
}

int BitsPerCharacter(const LineSettings& line) {
  const int stop = line.stopBits == 0 ? 1 : 2;  // one and a half counted as two
  return 1 + line.dataBits + (line.parity == 0 ? 0 : 1) + stop;
}

namespace {

// A refusal: the line of the file and the reason.
struct Refusal {
  int line;
  std::string reason;
};

int LineOf(const toml::node& node) {
  return static_cast<int>(node.source().begin.line);
}

class Reader {
 public:
  explicit Reader(const toml::table& table) : table_(table) {}

  // Refuses any key that was not asked for (a misspelt key is an error).
  void CheckKeys(const std::set<std::string>& allowed, const char* where) const {
    for (auto&& [key, value] : table_) {
      if (!allowed.count(std::string(key.str()))) {
        throw Refusal{LineOf(value), "unknown key '" + std::string(key.str()) + "' in " + where};
      }
    }
  }
  bool Has(const char* key) const { return table_.contains(key); }
  int Line(const char* key) const { return Has(key) ? LineOf(*table_.get(key)) : LineOf(table_); }

  std::optional<int64_t> Int(const char* key, int64_t low, int64_t high) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    const auto* value = node->as_integer();
    if (value == nullptr) throw Refusal{LineOf(*node), std::string(key) + " must be an integer"};
    const int64_t v = value->get();
    if (v < low || v > high) {
      throw Refusal{LineOf(*node), std::string(key) + " = " + std::to_string(v) + " is outside " +
                                       std::to_string(low) + ".." + std::to_string(high)};
    }
    return v;
  }
  std::optional<std::string> Str(const char* key) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    const auto* value = node->as_string();
    if (value == nullptr) throw Refusal{LineOf(*node), std::string(key) + " must be a string"};
    return value->get();
  }
  std::string Required(const char* key, const char* where) const {
    std::optional<std::string> value = Str(key);
    if (!value) throw Refusal{LineOf(table_), std::string(where) + " needs " + key};
    return *value;
  }
  int Start() const { return LineOf(table_); }
  const toml::table& Raw() const { return table_; }

 private:
  const toml::table& table_;
};

std::string Hex4(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

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
    keys.insert("signed");
    keys.insert("deadband");
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
    if (value == nullptr) throw Refusal{LineOf(*node), key + " must be an element address"};
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
      throw Refusal{r.Line("f"), "F range at the odd address " + Hex4(t.element) +
                                     ": F values start at even addresses"};
    }
    if (t.count % 2 != 0) {
      throw Refusal{r.Line("count"), "an F range takes two registers per value: count " +
                                         std::to_string(t.count) + " is odd"};
    }
  }
  if (const toml::node* node = raw.get("writable")) {
    const auto* value = node->as_boolean();
    if (value == nullptr) throw Refusal{LineOf(*node), "writable must be true or false"};
    t.writable = value->get();
  }
  if (std::optional<std::string> order = r.Str("word_order")) {
    if (t.letter != 'F') throw Refusal{r.Line("word_order"), "word_order applies to F tables only"};
    if (*order != "high-first" && *order != "low-first") {
      throw Refusal{r.Line("word_order"),
                    "word_order '" + *order + "' is not \"high-first\" or \"low-first\""};
    }
    t.lowWordFirst = *order == "low-first";
  }
  if (const toml::node* node = raw.get("signed")) {
    const auto* value = node->as_boolean();
    if (value == nullptr) throw Refusal{LineOf(*node), "signed must be true or false"};
    if (t.letter != 'V') throw Refusal{LineOf(*node), "signed applies to V tables only"};
    t.isSigned = value->get();
  }
  if (const toml::node* node = raw.get("deadband")) {
    const std::optional<double> value = node->value<double>();
    if (!value || *value < 0) throw Refusal{LineOf(*node), "deadband must be a number >= 0"};
    if (t.letter != 'F') throw Refusal{LineOf(*node), "deadband applies to F tables only"};
    t.deadband = *value;
  }
  if (t.LastElement() > 0xFFFF) {
    throw Refusal{r.Line("count"), where + ": elements " + Hex4(t.element) + " and on run past " +
                                       "FFFF (address outside 0001..FFFF)"};
  }
  t.pollMs = static_cast<uint32_t>(r.Int("poll_ms", 0, 3600000).value_or(unitPoll));
  t.maxAgeMs = static_cast<uint32_t>(r.Int("max_age_ms", 1, 86400000).value_or(unitAge));
  return t;
}

LineSettings DefaultLine() {
  return LineSettings{19200, 7, 0, 1};
}

uint16_t ParityCode(const std::string& name, int line) {
  static const char* kNames[] = {"none", "odd", "even", "mark", "space"};
  for (uint16_t i = 0; i < 5; ++i) {
    if (name == kNames[i]) return i;
  }
  throw Refusal{line, "parity '" + name + "' is not none, odd, even, mark or space"};
}

// The same name, or two names of one existing device.
bool SameDevice(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat sa {
  }, sb{};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

Role RoleNamed(const std::string& name, int line) {
  if (name == "read") return Role::Read;
  if (name == "write") return Role::Write;
  throw Refusal{line, "role '" + name + "' is not \"read\" or \"write\""};
}

TlsConfig ReadTls(const toml::table& raw) {
  Reader r(raw);
  r.CheckKeys({"listen", "port", "certificate", "key", "ca", "roles", "subjects"}, "[tls]");
  TlsConfig tls;
  tls.enabled = true;
  tls.sourceLine = r.Start();
  tls.listen = r.Str("listen").value_or("");
  tls.port = static_cast<int>(r.Int("port", 0, 65535).value_or(802));
  for (auto [key, target] : {std::pair{"certificate", &tls.certificate}, std::pair{"key", &tls.key},
                             std::pair{"ca", &tls.ca}}) {
    *target = r.Required(key, "[tls]");
    if (access(target->c_str(), R_OK) != 0) {
      throw Refusal{r.Line(key), std::string(key) + " '" + *target + "' cannot be read"};
    }
  }
  for (auto [key, target] :
       {std::pair{"roles", &tls.roles}, std::pair{"subjects", &tls.subjects}}) {
    const toml::node* node = raw.get(key);
    if (node == nullptr) continue;
    const toml::table* map = node->as_table();
    if (map == nullptr) {
      throw Refusal{LineOf(*node),
                    std::string(key) + " must be a table of names to \"read\" or \"write\""};
    }
    for (auto&& [name, value] : *map) {
      const auto* text = value.as_string();
      if (text == nullptr) throw Refusal{LineOf(value), "a role must be \"read\" or \"write\""};
      target->emplace_back(std::string(name.str()), RoleNamed(text->get(), LineOf(value)));
    }
  }
  if (tls.roles.empty() && tls.subjects.empty()) {
    throw Refusal{tls.sourceLine, "[tls] needs roles or subjects: what a certificate may do"};
  }
  return tls;
}

ClientRule ReadClient(const toml::table& raw, const Config& config) {
  Reader r(raw);
  r.CheckKeys({"address", "role", "units", "max_requests_per_s"}, "[[client]]");
  ClientRule rule;
  rule.sourceLine = r.Start();
  rule.text = r.Required("address", "[[client]]");
  std::string host = rule.text;
  const size_t slash = host.find('/');
  if (slash != std::string::npos) host = host.substr(0, slash);
  if (!ParseAddress(host, rule.network, rule.v6)) {
    throw Refusal{r.Line("address"),
                  "client address '" + rule.text + "' is not an IPv4 or IPv6 address or network"};
  }
  const int bits = rule.v6 ? 128 : 32;
  rule.prefix = bits;
  if (slash != std::string::npos) {
    const std::string length = rule.text.substr(slash + 1);
    char* end = nullptr;
    const long value = std::strtol(length.c_str(), &end, 10);
    if (length.empty() || *end != '\0' || value < 0 || value > bits) {
      throw Refusal{r.Line("address"), "client network '" + rule.text +
                                           "': the prefix must be 0.." + std::to_string(bits)};
    }
    rule.prefix = static_cast<int>(value);
  }
  const std::string role = r.Required("role", "[[client]]");
  if (role == "read") {
    rule.role = Role::Read;
  } else if (role == "write") {
    rule.role = Role::Write;
  } else {
    throw Refusal{r.Line("role"), "role '" + role + "' is not \"read\" or \"write\""};
  }
  if (const toml::node* node = raw.get("units")) {
    const toml::array* list = node->as_array();
    if (list == nullptr) throw Refusal{LineOf(*node), "units must be a list of unit ids"};
    for (const toml::node& entry : *list) {
      const auto* id = entry.as_integer();
      const bool known =
          id != nullptr && (id->get() == config.diagnosticsUnit ||
                            std::any_of(config.units.begin(), config.units.end(),
                                        [&](const Unit& u) { return u.id == id->get(); }));
      if (!known) {
        throw Refusal{LineOf(*node), "units: every entry must be a configured unit id"};
      }
      rule.units.push_back(static_cast<int>(id->get()));
    }
  }
  rule.maxRequestsPerS = static_cast<int>(r.Int("max_requests_per_s", 0, 1000000).value_or(0));
  return rule;
}

Config Parse(const toml::table& root) {
  Config config;
  Reader top(root);
  top.CheckKeys({"gateway", "line", "unit", "client", "tls", "mqtt"}, "the file");
  if (const toml::node* node = root.get("gateway")) {
    const toml::table* g = node->as_table();
    if (g == nullptr) throw Refusal{LineOf(*node), "[gateway] must be a table"};
    Reader r(*g);
    r.CheckKeys(
        {"listen", "port", "max_clients", "max_clients_per_address", "max_connections_per_s",
         "idle_timeout_s", "request_timeout_ms", "diagnostics_unit", "diagnostics",
         "max_requests_per_s", "metrics", "stats_interval_s", "driver"},
        "[gateway]");
    config.listen = r.Str("listen").value_or(config.listen);
    config.port = static_cast<int>(r.Int("port", 0, 65535).value_or(config.port));
    config.maxClients = static_cast<int>(r.Int("max_clients", 1, 4096).value_or(64));
    config.maxClientsPerAddress =
        static_cast<int>(r.Int("max_clients_per_address", 1, 4096).value_or(16));
    config.maxConnectionsPerS =
        static_cast<int>(r.Int("max_connections_per_s", 0, 1000000).value_or(100));
    config.idleTimeoutS = static_cast<int>(r.Int("idle_timeout_s", 1, 86400).value_or(60));
    config.requestTimeoutMs =
        static_cast<int>(r.Int("request_timeout_ms", 100, 600000).value_or(2000));
    config.diagnosticsUnit = static_cast<int>(r.Int("diagnostics_unit", 1, 255).value_or(247));
    if (std::optional<std::string> access = r.Str("diagnostics")) {
      if (*access == "read") {
        config.diagnostics = DiagnosticsAccess::Read;
      } else if (*access == "write") {
        config.diagnostics = DiagnosticsAccess::Write;
      } else if (*access == "off") {
        config.diagnostics = DiagnosticsAccess::Off;
      } else {
        throw Refusal{r.Line("diagnostics"),
                      "diagnostics '" + *access + "' is not \"read\", \"write\" or \"off\""};
      }
    }
    if (std::optional<std::string> metrics = r.Str("metrics")) {
      std::string host;
      int port = 0;
      if (!SplitHostPort(*metrics, host, port)) {
        throw Refusal{r.Line("metrics"), "metrics '" + *metrics +
                                             "' is not ADDRESS:PORT (an IPv6 address in brackets)"};
      }
      config.metrics = *metrics;
    }
    config.maxRequestsPerS = static_cast<int>(r.Int("max_requests_per_s", 0, 1000000).value_or(0));
    config.statsIntervalS = static_cast<int>(r.Int("stats_interval_s", 1, 86400).value_or(60));
    config.driver = r.Str("driver").value_or("");
  }

  const toml::node* lines = root.get("line");
  if (lines == nullptr || !lines->is_array_of_tables()) {
    throw Refusal{lines ? LineOf(*lines) : 1, "the file needs at least one [[line]]"};
  }
  std::set<int> instances;
  for (const toml::node& node : *lines->as_array()) {
    Reader r(*node.as_table());
    r.CheckKeys({"name", "port", "baud", "data_bits", "stop_bits", "parity", "instance",
                 "write_timeout_ms", "reply_timeout_ms"},
                "[[line]]");
    LineConfig line;
    line.sourceLine = r.Start();
    line.name = r.Required("name", "[[line]]");
    line.port = r.Required("port", "[[line]]");
    if (line.port.empty() || line.port.size() > 11) {
      throw Refusal{r.Line("port"),
                    "port '" + line.port + "' must have 1 to 11 characters (link a longer path)"};
    }
    for (const LineConfig& other : config.lines) {
      // Two instances cannot share a port: the second open would take the
      // first one's line (the same device under two names included).
      if (SameDevice(other.port, line.port)) {
        throw Refusal{r.Line("port"), "port '" + line.port + "' is the port of line '" +
                                          other.name + "' (line " +
                                          std::to_string(other.sourceLine) + ")"};
      }
      if (other.name == line.name) {
        throw Refusal{r.Line("name"), "line '" + line.name + "' is named twice (first at line " +
                                          std::to_string(other.sourceLine) + ")"};
      }
    }
    line.line = DefaultLine();
    line.line.baudRate = static_cast<uint16_t>(r.Int("baud", 50, 65535).value_or(19200));
    line.line.dataBits = static_cast<uint16_t>(r.Int("data_bits", 5, 8).value_or(7));
    const int64_t stop = r.Int("stop_bits", 1, 2).value_or(1);
    line.line.stopBits = stop == 1 ? 0 : 2;
    if (std::optional<std::string> parity = r.Str("parity")) {
      line.line.parity = ParityCode(*parity, r.Line("parity"));
    }
    line.instance = static_cast<int>(
        r.Int("instance", 1, 9999).value_or(static_cast<int64_t>(config.lines.size()) + 1));
    if (!instances.insert(line.instance).second) {
      throw Refusal{r.Line("instance"),
                    "instance " + std::to_string(line.instance) + " is used by another line"};
    }
    line.replyTimeoutMs =
        static_cast<uint32_t>(r.Int("reply_timeout_ms", 1000, 600000).value_or(1000));
    line.writeTimeoutMs =
        static_cast<uint32_t>(r.Int("write_timeout_ms", 100, 600000).value_or(3000));
    config.lines.push_back(line);
  }

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
    if (station == nullptr || station->get() < 1 || station->get() > 254) {
      throw Refusal{LineOf(*stationNode), "station must be 0x01..0xFE (1..254)"};
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
    if (unit.tables.empty()) throw Refusal{unit.sourceLine, "unit maps no table"};
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
    config.units.push_back(std::move(unit));
  }
  if (const toml::node* node = root.get("tls")) {
    const toml::table* t = node->as_table();
    if (t == nullptr) throw Refusal{LineOf(*node), "[tls] must be a table"};
    config.tls = ReadTls(*t);
  }
  if (const toml::node* node = root.get("mqtt")) {
    const toml::table* t = node->as_table();
    if (t == nullptr) throw Refusal{LineOf(*node), "[mqtt] must be a table"};
    if (std::optional<mqtt::SettingsError> e = mqtt::ReadSettings(*t, config.mqtt)) {
      throw Refusal{e->line, e->reason};
    }
    std::set<std::string> devices;
    for (const Unit& unit : config.units) {
      const std::string device =
          mqtt::DeviceId(unit.name, config.lines[unit.line].name, unit.station);
      if (!mqtt::ValidSparkplugId(device)) {
        throw Refusal{
            unit.sourceLine,
            "device id '" + device + "' must be UTF-8 text without + / or #: give the unit a name"};
      }
      if (!devices.insert(device).second) {
        throw Refusal{unit.sourceLine, "MQTT device id '" + device + "' is used by two units"};
      }
    }
  }
  if (const toml::node* clients = root.get("client")) {
    if (!clients->is_array_of_tables()) {
      throw Refusal{LineOf(*clients), "write the client rules as [[client]]"};
    }
    for (const toml::node& node : *clients->as_array()) {
      config.clients.push_back(ReadClient(*node.as_table(), config));
    }
  }
  return config;
}

}  // namespace

ConfigResult ParseConfig(const std::string& text, const std::string& fileName) {
  ConfigResult result;
  try {
    toml::table root = toml::parse(text, fileName);
    result.config = Parse(root);
  } catch (const toml::parse_error& e) {
    result.error = fileName + ":" + std::to_string(e.source().begin.line) + ": " +
                   std::string(e.description());
  } catch (const Refusal& r) {
    result.error = fileName + ":" + std::to_string(r.line) + ": " + r.reason;
  }
  return result;
}

ConfigResult LoadConfig(const std::string& path) {
  std::ifstream file(path);
  if (!file) return ConfigResult{std::nullopt, path + ": cannot read the file"};
  std::stringstream text;
  text << file.rdbuf();
  return ParseConfig(text.str(), path);
}

}  // namespace gateway
