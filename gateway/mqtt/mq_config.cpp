#include "gateway/mqtt/mq_config.h"

#include <toml++/toml.h>

#include <set>

namespace mqtt {

namespace {

int LineOf(const toml::node& node) {
  return static_cast<int>(node.source().begin.line);
}

struct Refused {
  SettingsError error;
};

class Keys {
 public:
  explicit Keys(const toml::table& table) : table_(table) {}
  std::optional<std::string> Str(const char* key) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    const auto* value = node->as_string();
    if (value == nullptr) throw Refused{{LineOf(*node), std::string(key) + " must be a string"}};
    return value->get();
  }
  std::optional<bool> Bool(const char* key) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    const auto* value = node->as_boolean();
    if (value == nullptr)
      throw Refused{{LineOf(*node), std::string(key) + " must be true or false"}};
    return value->get();
  }
  std::optional<int64_t> Int(const char* key, int64_t low, int64_t high) const {
    const toml::node* node = table_.get(key);
    if (node == nullptr) return std::nullopt;
    const auto* value = node->as_integer();
    if (value == nullptr) throw Refused{{LineOf(*node), std::string(key) + " must be an integer"}};
    if (value->get() < low || value->get() > high) {
      throw Refused{{LineOf(*node), std::string(key) + " = " + std::to_string(value->get()) +
                                        " is outside " + std::to_string(low) + ".." +
                                        std::to_string(high)}};
    }
    return value->get();
  }
  int Line(const char* key) const {
    const toml::node* node = table_.get(key);
    return node != nullptr ? LineOf(*node) : LineOf(table_);
  }

 private:
  const toml::table& table_;
};

}  // namespace

std::string DeviceId(const std::string& unitName, const std::string& lineName, int station) {
  if (!unitName.empty()) return unitName;
  static const char kHex[] = "0123456789ABCDEF";
  return lineName + "-" + kHex[(station >> 4) & 15] + kHex[station & 15];
}

bool ValidSparkplugId(const std::string& id) {
  if (id.empty()) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(id[i]);
    if (c == '+' || c == '/' || c == '#' || c < 0x20 || c == 0x7F) return false;
    if (c < 0x80) continue;
    // UTF-8: a lead byte and its continuation bytes.
    const int extra = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0) return false;
    for (int k = 1; k <= extra; ++k) {
      if (i + static_cast<size_t>(k) >= id.size() ||
          (static_cast<unsigned char>(id[i + static_cast<size_t>(k)]) & 0xC0) != 0x80) {
        return false;
      }
    }
    i += static_cast<size_t>(extra);
  }
  return true;
}

bool ParseBrokerUrl(const std::string& text, BrokerUrl& out) {
  BrokerUrl url;
  url.text = text;
  std::string rest;
  if (text.rfind("mqtt://", 0) == 0) {
    rest = text.substr(7);
  } else if (text.rfind("mqtts://", 0) == 0) {
    rest = text.substr(8);
    url.tls = true;
    url.port = 8883;
  } else {
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  size_t colon = std::string::npos;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return false;
    url.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return false;
      colon = close + 1;
    }
  } else {
    colon = rest.rfind(':');
    url.host = rest.substr(0, colon);
    if (url.host.find(':') != std::string::npos) return false;  // IPv6 needs brackets
  }
  if (url.host.empty() || url.host.find_first_of("/?#@ ") != std::string::npos) return false;
  if (colon != std::string::npos) {
    const std::string port = rest.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos)
      return false;
    url.port = std::stoi(port);
    if (url.port < 1 || url.port > 65535) return false;
  }
  out = url;
  return true;
}

bool Settings::SameBroker(const Settings& o) const {
  if (urls.size() != o.urls.size()) return false;
  for (size_t i = 0; i < urls.size(); ++i) {
    if (urls[i].text != o.urls[i].text) return false;
  }
  return groupId == o.groupId && edgeNodeId == o.edgeNodeId && clientId == o.clientId &&
         primaryHostId == o.primaryHostId && username == o.username &&
         passwordFile == o.passwordFile && caFile == o.caFile && certFile == o.certFile &&
         keyFile == o.keyFile && tlsVerify == o.tlsVerify && keepaliveS == o.keepaliveS &&
         storePath == o.storePath;
}

std::optional<SettingsError> ReadSettings(const toml::table& table, Settings& out) {
  try {
    static const std::set<std::string> kKeys = {
        "url",         "urls",      "group_id",      "edge_node_id", "client_id", "primary_host_id",
        "writes",      "username",  "password_file", "ca_file",      "cert_file", "key_file",
        "keepalive_s", "store_max", "store_path",    "tls_verify"};
    for (auto&& [key, value] : table) {
      if (!kKeys.count(std::string(key.str()))) {
        throw Refused{{LineOf(value), "unknown key '" + std::string(key.str()) + "' in [mqtt]"}};
      }
    }
    Keys k(table);
    Settings s;
    s.enabled = true;
    s.sourceLine = LineOf(table);
    const auto addUrl = [&](const std::string& text, int line) {
      BrokerUrl url;
      if (!ParseBrokerUrl(text, url)) {
        throw Refused{{line, "'" + text + "' is not mqtt://HOST:PORT or mqtts://HOST:PORT"}};
      }
      s.urls.push_back(url);
    };
    if (std::optional<std::string> url = k.Str("url")) addUrl(*url, k.Line("url"));
    if (const toml::node* node = table.get("urls")) {
      if (table.contains("url")) {
        throw Refused{{LineOf(*node), "[mqtt] takes url or urls, not both"}};
      }
      const toml::array* list = node->as_array();
      if (list == nullptr || list->empty()) {
        throw Refused{{LineOf(*node), "urls must be a list of broker urls"}};
      }
      for (const toml::node& entry : *list) {
        const auto* text = entry.as_string();
        if (text == nullptr) throw Refused{{LineOf(entry), "urls must be a list of strings"}};
        addUrl(text->get(), LineOf(entry));
      }
    }
    if (s.urls.empty()) throw Refused{{s.sourceLine, "[mqtt] needs url (or urls)"}};
    const auto id = [&](const char* key, bool required) {
      std::optional<std::string> value = k.Str(key);
      if (!value) {
        if (required) throw Refused{{s.sourceLine, std::string("[mqtt] needs ") + key}};
        return std::string();
      }
      if (!ValidSparkplugId(*value)) {
        throw Refused{{k.Line(key),
                       std::string(key) + " '" + *value + "' must be UTF-8 text without + / or #"}};
      }
      return *value;
    };
    s.groupId = id("group_id", true);
    s.edgeNodeId = id("edge_node_id", true);
    s.primaryHostId = id("primary_host_id", false);
    s.clientId = k.Str("client_id").value_or("tiway-" + s.groupId + "-" + s.edgeNodeId);
    if (s.clientId.empty() || s.clientId.size() > 65535) {
      throw Refused{{k.Line("client_id"), "client_id must not be empty"}};
    }
    s.writes = k.Bool("writes").value_or(false);
    s.username = k.Str("username").value_or("");
    s.passwordFile = k.Str("password_file").value_or("");
    if (!s.passwordFile.empty() && s.username.empty()) {
      throw Refused{{k.Line("password_file"), "password_file needs username"}};
    }
    s.caFile = k.Str("ca_file").value_or("");
    s.certFile = k.Str("cert_file").value_or("");
    s.keyFile = k.Str("key_file").value_or("");
    if (s.certFile.empty() != s.keyFile.empty()) {
      throw Refused{{k.Line(s.certFile.empty() ? "key_file" : "cert_file"),
                     "cert_file and key_file go together"}};
    }
    s.tlsVerify = k.Bool("tls_verify").value_or(true);
    bool anyTls = false;
    for (const BrokerUrl& url : s.urls) anyTls = anyTls || url.tls;
    if (!anyTls && (!s.caFile.empty() || !s.certFile.empty() || !s.tlsVerify)) {
      throw Refused{
          {s.sourceLine, "ca_file, cert_file, key_file and tls_verify need an mqtts:// url"}};
    }
    s.keepaliveS = static_cast<int>(k.Int("keepalive_s", 5, 65535).value_or(30));
    s.storeMax = static_cast<uint64_t>(k.Int("store_max", 1, 100000000).value_or(100000));
    s.storePath = k.Str("store_path").value_or("");
    out = s;
    return std::nullopt;
  } catch (const Refused& r) {
    return r.error;
  }
}

}  // namespace mqtt
