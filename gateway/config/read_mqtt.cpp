// The [mqtt] table: the Sparkplug B edge node's settings, and a device id per unit.
#include <set>

#include "gateway/config/reader.h"

namespace mqtt {

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
  int port = -1;
  if (!gateway::SplitHost(rest, url.host, port) || port == 0 ||
      url.host.find_first_of("/?#@ ") != std::string::npos) {
    return false;
  }
  if (port > 0) url.port = port;
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

}  // namespace mqtt

namespace gateway::parse {

void ReadMqtt(const toml::table& root, Config& config) {
  const toml::node* node = root.get("mqtt");
  if (node == nullptr) return;
  const toml::table* raw = node->as_table();
  if (raw == nullptr) throw Refusal{LineOf(*node), "[mqtt] must be a table"};
  Reader r(*raw);
  r.CheckKeys({"url", "urls", "group_id", "edge_node_id", "client_id", "primary_host_id", "writes",
               "username", "password_file", "ca_file", "cert_file", "key_file", "keepalive_s",
               "store_max", "store_path", "tls_verify"},
              "[mqtt]");
  mqtt::Settings s;
  s.enabled = true;
  s.sourceLine = r.Start();
  const auto addUrl = [&](const std::string& text, int line) {
    mqtt::BrokerUrl url;
    if (!mqtt::ParseBrokerUrl(text, url)) {
      throw Refusal{line, "'" + text + "' is not mqtt://HOST:PORT or mqtts://HOST:PORT"};
    }
    s.urls.push_back(url);
  };
  if (std::optional<std::string> url = r.Str("url")) addUrl(*url, r.Line("url"));
  if (const toml::node* list = raw->get("urls")) {
    if (r.Has("url")) {
      throw Refusal{LineOf(*list), "[mqtt] takes url or urls, not both"};
    }
    const toml::array* urls = list->as_array();
    if (urls == nullptr || urls->empty()) {
      throw Refusal{LineOf(*list), "urls must be a list of broker urls"};
    }
    for (const toml::node& entry : *urls) {
      const auto* text = entry.as_string();
      if (text == nullptr) throw Refusal{LineOf(entry), "urls must be a list of strings"};
      addUrl(text->get(), LineOf(entry));
    }
  }
  if (s.urls.empty()) throw Refusal{s.sourceLine, "[mqtt] needs url (or urls)"};
  const auto id = [&](const char* key, bool required) {
    std::optional<std::string> value = r.Str(key);
    if (!value) {
      if (required) throw Refusal{s.sourceLine, std::string("[mqtt] needs ") + key};
      return std::string();
    }
    if (!mqtt::ValidSparkplugId(*value)) {
      throw Refusal{r.Line(key),
                    std::string(key) + " '" + *value + "' must be UTF-8 text without + / or #"};
    }
    return *value;
  };
  s.groupId = id("group_id", true);
  s.edgeNodeId = id("edge_node_id", true);
  s.primaryHostId = id("primary_host_id", false);
  s.clientId = r.Str("client_id").value_or("tiway-" + s.groupId + "-" + s.edgeNodeId);
  if (s.clientId.empty() || s.clientId.size() > 65535) {
    throw Refusal{r.Line("client_id"), "client_id must not be empty"};
  }
  s.writes = r.Bool("writes").value_or(false);
  s.username = r.Str("username").value_or("");
  s.passwordFile = Path(r, "password_file", "[mqtt]", FileUse::Secret, config).value_or("");
  if (!s.passwordFile.empty() && s.username.empty()) {
    throw Refusal{r.Line("password_file"), "password_file needs username"};
  }
  s.caFile = Path(r, "ca_file", "[mqtt]", FileUse::Read, config).value_or("");
  s.certFile = Path(r, "cert_file", "[mqtt]", FileUse::Read, config).value_or("");
  s.keyFile = Path(r, "key_file", "[mqtt]", FileUse::Secret, config).value_or("");
  if (s.certFile.empty() != s.keyFile.empty()) {
    throw Refusal{r.Line(s.certFile.empty() ? "key_file" : "cert_file"),
                  "cert_file and key_file go together"};
  }
  s.tlsVerify = r.Bool("tls_verify").value_or(true);
  bool anyTls = false;
  for (const mqtt::BrokerUrl& url : s.urls) anyTls = anyTls || url.tls;
  if (!anyTls && (!s.caFile.empty() || !s.certFile.empty() || !s.tlsVerify)) {
    throw Refusal{s.sourceLine, "ca_file, cert_file, key_file and tls_verify need an mqtts:// url"};
  }
  s.keepaliveS = static_cast<int>(r.Int("keepalive_s", 5, 65535).value_or(30));
  s.storeMax = static_cast<uint64_t>(r.Int("store_max", 1, 100000000).value_or(100000));
  s.storePath = Path(r, "store_path", "[mqtt]", FileUse::Folder, config).value_or("");
  config.mqtt = s;
  std::set<std::string> devices;
  for (const Unit& unit : config.units) {
    const std::string device =
        mqtt::DeviceId(unit.name, config.lines[unit.line].name, unit.station);
    if (!mqtt::ValidSparkplugId(device)) {
      throw Refusal{unit.sourceLine, "device id '" + device +
                                         "' must be UTF-8 text without + / or #: give "
                                         "the unit a name"};
    }
    if (!devices.insert(device).second) {
      throw Refusal{unit.sourceLine, "MQTT device id '" + device + "' is used by two units"};
    }
  }
}

}  // namespace gateway::parse
