#include "gateway/access/policy.h"

#include <algorithm>

#include "gateway/core/gateway.h"

namespace gateway::access {

Rights RightsFor(const Config& config, const ClientRule* rule, std::optional<Role> certificate) {
  Rights rights;
  if (rule != nullptr) {
    rights.role = rule->role;
    rights.units = rule->units;
  }
  if (certificate && *certificate == Role::Read) rights.role = Role::Read;
  rights.certificateRole = certificate;
  rights.rate =
      rule != nullptr && rule->maxRequestsPerS > 0 ? rule->maxRequestsPerS : config.maxRequestsPerS;
  return rights;
}

std::string CertificateRole(const TlsConfig& tls, const std::string& roleName,
                            const std::string& subject, Role& role) {
  const auto find = [](const std::vector<std::pair<std::string, Role>>& map,
                       const std::string& name, Role& out) {
    for (const auto& [key, value] : map) {
      if (key == name) {
        out = value;
        return true;
      }
    }
    return false;
  };
  if (!roleName.empty()) {
    if (find(tls.roles, roleName, role)) return "";
    return "certificate of '" + subject + "' has the role '" + roleName + "', not in [tls] roles";
  }
  if (find(tls.subjects, subject, role)) return "";
  return "certificate of '" + subject +
         "' has no role extension and its subject is not in [tls] subjects";
}

}  // namespace gateway::access
