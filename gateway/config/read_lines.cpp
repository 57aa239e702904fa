// The [gateway] table and the [[line]] tables.
#include <sys/stat.h>

#include <algorithm>

#include "gateway/config/reader.h"

namespace gateway::parse {

namespace {

ZorLineSettings DefaultLine() {
  return ZorLineSettings{19200, 7, 0, 1};
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
}  // namespace

void ReadGatewaySection(const toml::table& root, Config& config) {
  if (const toml::node* node = root.get("gateway")) {
    const toml::table* g = node->as_table();
    if (g == nullptr) throw Refusal{LineOf(*node), "[gateway] must be a table"};
    Reader r(*g);
    r.CheckKeys({"listen", "port", "max_clients", "max_clients_per_address",
                 "max_connections_per_s", "idle_timeout_s", "request_timeout_ms",
                 "diagnostics_unit", "diagnostics", "max_requests_per_s", "metrics",
                 "stats_interval_s", "driver", "allow_shared_secrets", "tags"},
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
    config.driver = Path(r, "driver", "[gateway]", FileUse::Read, config).value_or("");
    config.tagsFile = Path(r, "tags", "[gateway]", FileUse::Read, config).value_or("");
    config.allowSharedSecrets = r.Bool("allow_shared_secrets").value_or(false);
  }
}

void ReadLines(const toml::table& root, Config& config) {
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
    if (line.port.empty() || line.port.size() > ZOR_PORT_NAME_MAX) {
      throw Refusal{
          r.Line("port"),
          "port '" + line.port +
              "' must have 1 to 11 characters (a name without '/' is in /dev): "
              "give the adapter a short name of its own with a udev rule, e.g. "
              "SYMLINK+=\"tiway-north\" "
              "and port = \"tiway-north\" (the commented rule in "
              "/usr/share/doc/tiway-gateway/examples/60-tiway.rules; tiway-gateway(8), FILES)"};
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
}

}  // namespace gateway::parse
