// Who may do what, as functions of the configuration and the client: its
// rule (role, units, request rate) and the role its certificate carries.
// No sockets here, and no protocol: each protocol authorises its requests
// from these rights (modbus/authorize.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "gateway/config/config.h"

namespace gateway::access {

// What a connected client may do.
struct Rights {
  Role role = Role::Write;
  std::vector<int> units;               // every unit when empty
  int rate = 0;                         // requests per second allowed its address; 0: no limit
  std::optional<Role> certificateRole;  // TLS: the role its certificate carries
};

// The rights of a client at `address` (nullptr: no rule covers it; with
// rules that means refused). The access is the lesser of the rule's role and
// the certificate's; the rate is the rule's, else the gateway's.
Rights RightsFor(const Config& config, const ClientRule* rule, std::optional<Role> certificate);

// The role a client certificate maps to ([tls] roles by its role extension,
// else [tls] subjects by its subject's common name), or why it maps to none.
std::string CertificateRole(const TlsConfig& tls, const std::string& roleName,
                            const std::string& subject, Role& role);

}  // namespace gateway::access
