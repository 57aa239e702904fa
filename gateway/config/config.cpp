// The configuration's types, and the file read section by section.
#include "gateway/config/config.h"

#include <arpa/inet.h>
#include <toml++/toml.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "gateway/config/reader.h"

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

std::string parse::ValueText(const toml::node& node) {
  std::ostringstream out;
  if (const auto* v = node.as_string()) {
    out << "the string \"" << v->get() << "\"";
  } else if (const auto* i = node.as_integer()) {
    out << "the integer " << i->get();
  } else if (const auto* f = node.as_floating_point()) {
    out << "the float " << f->get();
  } else if (const auto* b = node.as_boolean()) {
    out << (b->get() ? "true" : "false");
  } else if (node.is_array()) {
    out << "an array";
  } else if (node.is_table()) {
    out << "a table";
  } else {
    out << "a date or time";
  }
  return out.str();
}

// An address as 4 (IPv4, also IPv4-mapped IPv6) or 16 bytes; false when not one.
bool parse::ParseAddress(const std::string& text, std::array<uint8_t, 16>& bytes, bool& v6) {
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

bool ClientRule::Matches(const std::string& address) const {
  std::array<uint8_t, 16> bytes{};
  bool isV6 = false;
  if (!parse::ParseAddress(address, bytes, isV6) || isV6 != v6) return false;
  for (int bitIndex = 0; bitIndex < prefix; ++bitIndex) {
    const uint8_t mask = static_cast<uint8_t>(0x80u >> (bitIndex % 8));
    if ((bytes[static_cast<size_t>(bitIndex / 8)] & mask) !=
        (network[static_cast<size_t>(bitIndex / 8)] & mask)) {
      return false;
    }
  }
  return true;
}

bool SplitHost(const std::string& text, std::string& host, int& port) {
  size_t colon = std::string::npos;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      colon = close + 1;
    }
  } else {
    colon = text.rfind(':');
    host = text.substr(0, colon);
    if (host.find(':') != std::string::npos) return false;  // an IPv6 address needs its brackets
  }
  if (host.empty()) return false;
  port = -1;
  if (colon == std::string::npos) return true;
  const std::string digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  port = std::stoi(digits);
  return port <= 65535;
}

bool SplitHostPort(const std::string& text, std::string& host, int& port) {
  std::string name;
  int number = -1;
  std::array<uint8_t, 16> bytes{};
  bool v6 = false;
  if (!SplitHost(text, name, number) || number < 0 || !parse::ParseAddress(name, bytes, v6)) {
    return false;
  }
  host = name;
  port = number;
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

namespace {

// The tag file, relative to the configuration's folder; a unit without
// tables must have tags.
void ReadTagFile(const std::string& fileName, Config& config) {
  if (config.tagsFile.empty()) return;
  const size_t slash = fileName.rfind('/');
  if (config.tagsFile.front() != '/' && slash != std::string::npos) {
    for (NamedFile& file : config.files) {
      if (file.path == config.tagsFile && file.what == "[gateway] tags") {
        file.path = fileName.substr(0, slash + 1) + config.tagsFile;
      }
    }
    config.tagsFile = fileName.substr(0, slash + 1) + config.tagsFile;
  }
  parse::ReadTags(config);
  for (const Unit& unit : config.units) {
    if (unit.tables.empty() && unit.tags.empty()) {
      throw parse::Refusal{unit.sourceLine, "unit maps no table and has no tag"};
    }
  }
}

Config Parse(const toml::table& root, const std::string& fileName) {
  Config config;
  parse::Reader top(root);
  top.CheckKeys({"gateway", "line", "unit", "client", "tls", "mqtt", "web"}, "the file");
  parse::ReadGatewaySection(root, config);
  parse::ReadLines(root, config);
  parse::ReadUnits(root, config);
  parse::ReadAccess(root, config);
  parse::ReadMqtt(root, config);
  parse::ReadWeb(root, config);
  ReadTagFile(fileName, config);
  return config;
}

}  // namespace

ConfigResult ParseConfig(const std::string& text, const std::string& fileName) {
  ConfigResult result;
  try {
    toml::table root = toml::parse(text, fileName);
    result.config = Parse(root, fileName);
  } catch (const toml::parse_error& e) {
    result.error = fileName + ":" + std::to_string(e.source().begin.line) + ": " +
                   std::string(e.description());
  } catch (const parse::Refusal& r) {
    result.error = fileName + ":" + std::to_string(r.line) + ": " + r.reason;
  } catch (const parse::FileRefusal& r) {
    result.error = r.message;
  }
  return result;
}

ConfigResult LoadConfig(const std::string& path) {
  std::string text, reason;
  if (!ReadFileText(path, text, reason)) {
    return ConfigResult{std::nullopt, path + ": cannot read the file: " + reason};
  }
  return ParseConfig(text, path);
}

}  // namespace gateway
