// Who may do what, as functions of the configuration and the client: its
// rule (role, units, request rate), the role its certificate carries, and
// whether a request is allowed. No sockets here.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/modbus/pdu.h"

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

// kOk when a client with `rights` may make `request`, else the exception to
// answer and `why`: over its request rate (`withinRate` false), the
// diagnostics unit's access, its rule's units, its role.
uint8_t Authorize(const Config& config, const Rights& rights, const modbus::Request& request,
                  bool withinRate, const char*& why);

}  // namespace gateway::access
