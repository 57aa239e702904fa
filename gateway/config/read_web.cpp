// [web]: the status page's listener. Beyond loopback it needs TLS and a
// login: without both the file is refused.
#include <unistd.h>

#include "gateway/config/reader.h"

namespace gateway::parse {

void ReadWeb(const toml::table& root, Config& config) {
  const toml::node* node = root.get("web");
  if (node == nullptr) return;
  const toml::table* raw = node->as_table();
  if (raw == nullptr) throw Refusal{LineOf(*node), "[web] must be a table"};
  Reader r(*raw);
  r.CheckKeys({"listen", "port", "tls", "users"}, "[web]");
  WebConfig& web = config.web;
  web.enabled = true;
  web.sourceLine = r.Start();
  web.listen = r.Str("listen").value_or("127.0.0.1");
  web.port = static_cast<int>(r.Int("port", 0, 65535).value_or(8020));
  if (const toml::node* tls = raw->get("tls")) {
    if (!tls->is_boolean()) throw Refusal{LineOf(*tls), "tls must be true or false"};
    web.tls = tls->as_boolean()->get();
  }
  web.users = r.Str("users").value_or("");
  std::array<uint8_t, 16> bytes{};
  bool v6 = false;
  if (!ParseAddress(web.listen, bytes, v6)) {
    throw Refusal{r.Line("listen"),
                  "[web] listen '" + web.listen + "' is not an IPv4 or IPv6 address"};
  }
  if (web.tls && !config.tls.enabled) {
    throw Refusal{r.Line("tls"), "[web] tls = true needs the [tls] table's certificate and key"};
  }
  if (!web.users.empty() && access(web.users.c_str(), R_OK) != 0) {
    throw Refusal{r.Line("users"), "[web] users '" + web.users + "' cannot be read"};
  }
  const std::array<uint8_t, 16> kV6Loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const bool loopback = v6 ? bytes == kV6Loopback : bytes[0] == 127;
  if (!loopback && (!web.tls || web.users.empty())) {
    throw Refusal{r.Line("listen"),
                  "[web] listen '" + web.listen +
                      "' is beyond loopback: it needs tls = true and a users file (the page "
                      "shows the plant to whoever reaches it)"};
  }
  if (!web.users.empty() && !web.tls) {
    throw Refusal{r.Line("users"),
                  "[web] users needs tls = true: a password is never sent in clear"};
  }
}

}  // namespace gateway::parse
