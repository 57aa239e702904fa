// The [mqtt] section of the gateway's configuration: the broker(s), the
// Sparkplug identity of the edge node, its credentials and its store.
// Without the section the gateway speaks no MQTT. Read by the configuration
// parser (read_mqtt.cpp); the edge node (gateway/mqtt/) runs by it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mqtt {

// One broker address: mqtt://host:port (plain) or mqtts://host:port (TLS).
struct BrokerUrl {
  std::string text;
  std::string host;
  int port = 1883;
  bool tls = false;
};

struct Settings {
  bool enabled = false;         // the file has an [mqtt] section
  std::vector<BrokerUrl> urls;  // in fail-over order
  std::string groupId, edgeNodeId, clientId, primaryHostId;
  bool writes = false;  // DCMD writes carried out
  std::string username, passwordFile;
  std::string caFile, certFile, keyFile;
  bool tlsVerify = true;  // `tls_verify = false` turns the broker's check off (logged)
  int keepaliveS = 30;
  uint64_t storeMax = 100000;  // changes kept while no session publishes
  std::string storePath;       // SQLite file; empty: the store is in memory
  int sourceLine = 0;

  // The broker settings: a change of these starts a new MQTT session.
  bool SameBroker(const Settings& other) const;
};

// "mqtt://host:port" or "mqtts://host:port" ("[v6]:port" too).
bool ParseBrokerUrl(const std::string& text, BrokerUrl& out);

// A unit's device id: its name, else "<line>-<station as two hex digits>".
std::string DeviceId(const std::string& unitName, const std::string& lineName, int station);

// A Sparkplug id (group, edge node, device): UTF-8 without + / #, not empty.
bool ValidSparkplugId(const std::string& id);

}  // namespace mqtt
