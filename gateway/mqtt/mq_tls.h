// The broker's TLS for the edge node: the client context libmosquitto is
// given (MOSQ_OPT_SSL_CTX: the CAs, the node's certificate and key, the
// broker's name checked by OpenSSL), and why a broker's certificate was
// refused, as the handshake's own verification found it.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "gateway/config/mqtt_settings.h"

namespace mqtt {

// The first certificate the handshake refused, and what was wrong with it.
struct TlsVerdict {
  int error = 0;                // X509_V_OK: none refused
  int depth = 0;                // 0: the broker's own certificate, then its issuers
  std::string broker;           // the subject of the broker's own certificate
  std::string subject, issuer;  // of the certificate refused
};

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using SslCtx = std::unique_ptr<SSL_CTX, SslCtxFree>;

// A context for one connection to `url`. Its verification writes the first
// refusal into `verdict`, which must outlive the context's connections.
// nullptr and `error` when a file of the settings cannot be used.
SslCtx MakeTlsContext(const Settings& settings, const BrokerUrl& url, TlsVerdict* verdict,
                      std::string& error);

// "the broker's certificate failed verification: its issuer is not ..."
std::string ExplainVerdict(const TlsVerdict& verdict, const Settings& settings,
                           const BrokerUrl& url);

}  // namespace mqtt
