#include "gateway/mqtt/mq_tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509_vfy.h>

namespace mqtt {

namespace {

// Where a context keeps its TlsVerdict.
int VerdictIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int Verify(int ok, X509_STORE_CTX* store) {
  if (ok == 1) return 1;
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* verdict =
      ssl == nullptr
          ? nullptr
          : static_cast<TlsVerdict*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), VerdictIndex()));
  if (verdict != nullptr && verdict->error == X509_V_OK) {
    verdict->error = X509_STORE_CTX_get_error(store);
    verdict->depth = X509_STORE_CTX_get_error_depth(store);
    const auto name = [](const X509_NAME* of) {
      char text[256] = {};
      X509_NAME_oneline(of, text, sizeof text);
      return std::string(text);
    };
    if (X509* cert = X509_STORE_CTX_get0_cert(store))
      verdict->broker = name(X509_get_subject_name(cert));
    if (X509* cert = X509_STORE_CTX_get_current_cert(store)) {
      verdict->subject = name(X509_get_subject_name(cert));
      verdict->issuer = name(X509_get_issuer_name(cert));
    }
  }
  return 0;
}

std::string OpenSslError() {
  const unsigned long code = ERR_peek_last_error();
  char text[256] = {};
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return code != 0 ? text : "unknown error";
}

bool IsAddress(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

}  // namespace

SslCtx MakeTlsContext(const Settings& settings, const BrokerUrl& url, TlsVerdict* verdict,
                      std::string& error) {
  SslCtx ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    error = "TLS: " + OpenSslError();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_ex_data(ctx.get(), VerdictIndex(), verdict);
  const bool loaded =
      settings.caFile.empty()
          ? SSL_CTX_load_verify_locations(ctx.get(), nullptr, "/etc/ssl/certs") == 1
          : SSL_CTX_load_verify_locations(ctx.get(), settings.caFile.c_str(), nullptr) == 1;
  if (!loaded) {
    error = (settings.caFile.empty() ? std::string("/etc/ssl/certs") : settings.caFile) +
            ": cannot load the CAs: " + OpenSslError();
    return nullptr;
  }
  if (!settings.certFile.empty() &&
      (SSL_CTX_use_certificate_chain_file(ctx.get(), settings.certFile.c_str()) != 1 ||
       SSL_CTX_use_PrivateKey_file(ctx.get(), settings.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
       SSL_CTX_check_private_key(ctx.get()) != 1)) {
    error = settings.certFile + " / " + settings.keyFile +
            ": cannot use the client certificate: " + OpenSslError();
    return nullptr;
  }
  if (settings.tlsVerify) {
    // The broker's name is checked by OpenSSL (RFC 6125) with the chain.
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx.get());
    if (IsAddress(url.host)) {
      X509_VERIFY_PARAM_set1_ip_asc(param, url.host.c_str());
    } else {
      X509_VERIFY_PARAM_set1_host(param, url.host.c_str(), url.host.size());
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, Verify);
  } else {
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  }
  return ctx;
}

std::string ExplainVerdict(const TlsVerdict& verdict, const Settings& settings,
                           const BrokerUrl& url) {
  const std::string cas =
      settings.caFile.empty() ? "the system's CAs" : "the CA of ca_file " + settings.caFile;
  std::string why;
  switch (verdict.error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      why = "unknown issuer " + verdict.issuer + ", not " + cas;
      break;
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      why = "unknown issuer: its chain ends in the self-signed CA " + verdict.subject + ", not " +
            cas;
      break;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
      why = "it is self-signed, not signed by " + cas;
      break;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      why = "name mismatch: it does not name " + url.host;
      break;
    case X509_V_ERR_CERT_HAS_EXPIRED:
      why =
          verdict.depth == 0 ? "it has expired" : "its issuer " + verdict.subject + " has expired";
      break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      why = verdict.depth == 0 ? "it is not valid yet"
                               : "its issuer " + verdict.subject + " is not valid yet";
      break;
    default:
      why =
          verdict.depth == 0 ? "it was refused" : "its issuer " + verdict.subject + " was refused";
      break;
  }
  return "the broker's certificate " + verdict.broker + " failed verification: " + why +
         " (OpenSSL: " + X509_verify_cert_error_string(verdict.error) + ")";
}

}  // namespace mqtt
