// The gateway's configuration: serial lines, Modbus units mapped to stations,
// and per unit the tables that map Modbus ranges to controller points. Read
// from a TOML file; a bad file is refused with its line and the reason.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "gateway/config/mqtt_settings.h"
#include "zortw/zortw.h"

namespace gateway {

// The four Modbus data tables.
enum class Kind { Holding, Input, Coil, Discrete };
const char* KindName(Kind kind);  // "holding", "input", "coil", "discrete"

// One Modbus range mapped to consecutive points of one station.
struct Table {
  Kind kind = Kind::Holding;
  uint32_t address = 0;  // first Modbus address (0-based, as in the protocol)
  uint32_t count = 0;    // registers or bits
  char letter = 'V';     // V (words), F (values, two registers each), X, Y, C
  uint32_t element = 0;  // first element address, 0x0001 to 0xFFFF
  int bit = -1;          // coils on single bits of V words: the first bit (0-15)
  uint32_t pollMs = 1000;
  uint32_t maxAgeMs = 10000;
  bool writable = false;      // holding and coil tables: written only when the file says so
  bool lowWordFirst = false;  // F values: the low word at the lower register
  bool isSigned = false;      // V words read as Int16 (MQTT)
  double deadband = 0;        // F values: a change smaller than this is not published (MQTT)
  int sourceLine = 0;

  // Controller memory the table reads: V words for V, F and V-bit tables.
  char Memory() const { return letter == 'F' ? 'V' : letter; }
  // The elements the table covers, first and last (V words for V bits).
  uint32_t FirstElement() const { return element; }
  uint32_t LastElement() const;
  // For register/bit k of the table: the element and, for V bits, the bit.
  // (F values low word first: the two registers of a value swap their words.)
  uint32_t ElementOf(uint32_t k) const;
  int BitOf(uint32_t k) const { return bit < 0 ? -1 : static_cast<int>((bit + k) % 16); }
};

struct Unit {
  int id = 0;        // Modbus unit id
  std::string name;  // the unit's MQTT device id; empty: <line>-<station in hex>
  size_t line = 0;
  int station = 0;  // 1 to 254
  std::vector<Table> tables;
  int sourceLine = 0;
};

struct LineConfig {
  std::string name;
  std::string port;  // device name, at most 11 characters
  ZorLineSettings line{19200, 7, 0, 1};
  int instance = 1;
  uint32_t replyTimeoutMs = 1000;
  uint32_t writeTimeoutMs = 3000;  // a write queued longer is answered 0x0B, never carried out
  int sourceLine = 0;
};

enum class Role { Read, Write };

// A client rule: the addresses it covers, their role and the units they may reach.
struct ClientRule {
  std::string text;  // as written ("10.1.0.0/16", "::1")
  bool v6 = false;
  std::array<uint8_t, 16> network{};  // 4 bytes for IPv4
  int prefix = 0;                     // bits of `network` that must match
  Role role = Role::Read;
  std::vector<int> units;   // empty: every unit
  int maxRequestsPerS = 0;  // 0: the gateway's limit
  int sourceLine = 0;

  bool Matches(const std::string& address) const;
  bool Reaches(int unit) const;
};

// Modbus/TCP Security: TLS 1.2 or later, clients authenticated by their
// X.509 certificates; the role comes from the certificate's role extension
// (mapped by `roles`) or its subject's common name (mapped by `subjects`).
struct TlsConfig {
  bool enabled = false;
  std::string listen;  // empty: the gateway's listen address
  int port = 802;
  std::string certificate, key, ca;  // PEM files
  std::vector<std::pair<std::string, Role>> roles, subjects;
  int sourceLine = 0;
};

// A file or folder the configuration names; CheckFiles looks at each before
// the gateway opens anything.
enum class FileUse {
  Read,    // a file the gateway reads
  Secret,  // a password or private key: also readable by its owner only
  Folder,  // a folder the gateway creates files in
};
struct NamedFile {
  std::string what;  // the key, as "[mqtt] password_file"
  std::string path;  // a credential's name resolved in $CREDENTIALS_DIRECTORY
  FileUse use = FileUse::Read;
  int sourceLine = 0;  // 0: named on the command line
};

// Who may read the diagnostics unit.
enum class DiagnosticsAccess { Read, Write, Off };

struct Config {
  std::string listen = "127.0.0.1";
  int port = 5020;
  int maxClients = 64;
  int maxClientsPerAddress = 16;
  int maxConnectionsPerS = 100;  // new connections per client address; 0: no limit
  int idleTimeoutS = 60;         // a connection with no request for so long is closed
  int requestTimeoutMs = 2000;   // a request's bytes must all arrive within this time
  int diagnosticsUnit = 247;
  DiagnosticsAccess diagnostics = DiagnosticsAccess::Read;
  int maxRequestsPerS = 0;  // per client address; 0: no limit
  std::string metrics;      // "HOST:PORT" of the metrics listener; empty: none
  int statsIntervalS = 60;
  std::string driver;               // empty: libzortw.so beside the gateway
  bool allowSharedSecrets = false;  // secrets readable by group or others are taken
  std::vector<NamedFile> files;     // every file and folder named, in the file's order
  std::vector<LineConfig> lines;
  std::vector<Unit> units;
  std::vector<ClientRule> clients;  // empty: every client reads and writes
  TlsConfig tls;
  mqtt::Settings mqtt;  // [mqtt]: the Sparkplug B edge node (enabled when present)

  // The rule for an address (the first that matches), or nullptr.
  const ClientRule* RuleFor(const std::string& address) const;
};

struct ConfigResult {
  std::optional<Config> config;
  std::string error;  // "FILE:LINE: reason" when refused
};

// The settings a reload cannot change: the listeners, the connection
// limits and time-outs, the driver, and the TLS listener with its files (its
// roles and subjects are reloaded). One list, as a tuple of references: two
// of them compare, and one assigns to the other.
template <class C>
auto RestartOnly(C& c) {
  return std::tie(c.listen, c.port, c.maxClients, c.maxClientsPerAddress, c.idleTimeoutS,
                  c.requestTimeoutMs, c.driver, c.metrics, c.tls.enabled, c.tls.listen, c.tls.port,
                  c.tls.certificate, c.tls.key, c.tls.ca);
}

// Parses and checks a configuration text; `fileName` names it in errors.
ConfigResult ParseConfig(const std::string& text, const std::string& fileName);
ConfigResult LoadConfig(const std::string& path);

// "HOST:PORT", "[V6]:PORT", "HOST" or "[V6]" into its parts (`port` -1
// when absent); false when it is not one.
bool SplitHost(const std::string& text, std::string& host, int& port);
// "ADDRESS:PORT" or "[V6]:PORT" with an IP address; false when it is not one.
bool SplitHostPort(const std::string& text, std::string& host, int& port);

// Each named file readable (a secret by its owner only, unless
// allow_shared_secrets) and each folder writable: "" when all are, else
// "FILE:LINE: what: path: reason" for the first that is not.
std::string CheckFiles(const Config& config, const std::string& fileName);
// A whole file into `text`; false with the system's reason ("Is a directory"...).
bool ReadFileText(const std::string& path, std::string& text, std::string& reason);

}  // namespace gateway
