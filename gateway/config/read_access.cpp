// Who may connect: the [tls] table (Modbus/TCP Security) and the
// [[client]] rules.
#include <algorithm>
#include <cstdlib>
#include <tuple>

#include "gateway/config/reader.h"

namespace gateway::parse {

namespace {

Role RoleNamed(const std::string& name, int line) {
  if (name == "read") return Role::Read;
  if (name == "write") return Role::Write;
  throw Refusal{line, "role '" + name + "' is not \"read\" or \"write\""};
}

TlsConfig ReadTls(const toml::table& raw, Config& config) {
  Reader r(raw);
  r.CheckKeys({"listen", "port", "certificate", "key", "ca", "roles", "subjects"}, "[tls]");
  TlsConfig tls;
  tls.enabled = true;
  tls.sourceLine = r.Start();
  tls.listen = r.Str("listen").value_or("");
  tls.port = static_cast<int>(r.Int("port", 0, 65535).value_or(802));
  for (auto [key, target, use] :
       {std::tuple{"certificate", &tls.certificate, FileUse::Read},
        std::tuple{"key", &tls.key, FileUse::Secret}, std::tuple{"ca", &tls.ca, FileUse::Read}}) {
    r.Required(key, "[tls]");
    *target = *Path(r, key, "[tls]", use, config);
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
}  // namespace

void ReadAccess(const toml::table& root, Config& config) {
  if (const toml::node* node = root.get("tls")) {
    const toml::table* t = node->as_table();
    if (t == nullptr) throw Refusal{LineOf(*node), "[tls] must be a table"};
    config.tls = ReadTls(*t, config);
  }
  if (const toml::node* clients = root.get("client")) {
    if (!clients->is_array_of_tables()) {
      throw Refusal{LineOf(*clients), "write the client rules as [[client]]"};
    }
    for (const toml::node& node : *clients->as_array()) {
      config.clients.push_back(ReadClient(*node.as_table(), config));
    }
  }
}

}  // namespace gateway::parse
