// The [web] section: the status page and /metrics on one HTTP listener.
#pragma once

#include <string>

namespace gateway {

struct WebConfig {
  bool enabled = false;  // the file has [web]
  std::string listen = "127.0.0.1";
  int port = 8020;    // 0 picks a free one
  bool tls = false;   // HTTPS with [tls]'s certificate and key
  std::string users;  // users file (tiway-gateway --add-web-user): HTTP Basic logins
  int sourceLine = 0;
};

}  // namespace gateway
