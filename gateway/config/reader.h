// Reading the configuration file: a refusal carries the line of the file and
// the reason; each section of the file has a reader of its own.
#pragma once

#include <toml++/toml.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>

#include "gateway/config/config.h"

namespace gateway::parse {

// A refusal: the line of the file and the reason.
struct Refusal {
  int line;
  std::string reason;
};

// A refusal in another file than the configuration (the tag file), the
// whole message "FILE:LINE:COLUMN: reason".
struct FileRefusal {
  std::string message;
};

inline int LineOf(const toml::node& node) {
  return static_cast<int>(node.source().begin.line);
}

// A value as the file wrote it, for a refusal: "the string \"02\"", "the
// float 2.5", "true", "an array", "a table".
std::string ValueText(const toml::node& node);

// The refusal of a value of the wrong type: "KEY: expected WHAT, got VALUE".
[[noreturn]] inline void WrongType(const toml::node& node, const std::string& key,
                                   const std::string& what) {
  throw Refusal{LineOf(node), key + ": expected " + what + ", got " + ValueText(node)};
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
    if (value == nullptr) {
      WrongType(*node, key,
                "an integer (" + std::to_string(low) + " to " + std::to_string(high) + ")");
    }
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
    if (value == nullptr) WrongType(*node, key, "a string");
    return value->get();
  }
  std::optional<bool> Bool(const char* key) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    const auto* value = node->as_boolean();
    if (value == nullptr) WrongType(*node, key, "true or false");
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
// An address as 4 (IPv4, also IPv4-mapped IPv6) or 16 bytes; false when not one.
bool ParseAddress(const std::string& text, std::array<uint8_t, 16>& bytes, bool& v6);

// A file or folder named by `key`: "credential:NAME" resolved in
// $CREDENTIALS_DIRECTORY, and recorded in config.files for CheckFiles.
std::optional<std::string> Path(const Reader& r, const char* key, const char* section, FileUse use,
                                Config& config);

// The sections, each into `config` (the ones before it already read).
void ReadGatewaySection(const toml::table& root, Config& config);  // [gateway]
void ReadLines(const toml::table& root, Config& config);           // [[line]]
void ReadUnits(const toml::table& root, Config& config);           // [[unit]] and their tables
void ReadAccess(const toml::table& root, Config& config);          // [tls] and [[client]]
void ReadMqtt(const toml::table& root, Config& config);            // [mqtt]
// The tag file (config.tagsFile, when set) into the units' tags; the text
// of one as `file` names it.
void ReadTags(Config& config);
void ReadTagText(const std::string& text, const std::string& file, Config& config);
void ReadWeb(const toml::table& root, Config& config);  // [web]

}  // namespace gateway::parse
