#include "gateway/net/tls.h"

namespace gateway::net {

std::string MakeTlsContext(const TlsConfig& tls, std::unique_ptr<asio::ssl::context>& context) {
  context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
  asio::error_code ec;
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  context->set_options(asio::ssl::context::default_workarounds |
                           asio::ssl::context::no_compression | asio::ssl::context::single_dh_use,
                       ec);
  const auto failed = [&](const std::string& what) { return "TLS: " + what + ": " + ec.message(); };
  context->use_certificate_chain_file(tls.certificate, ec);
  if (ec) return failed("certificate " + tls.certificate);
  context->use_private_key_file(tls.key, asio::ssl::context::pem, ec);
  if (ec) return failed("key " + tls.key);
  context->load_verify_file(tls.ca, ec);
  if (ec) return failed("ca " + tls.ca);
  // Mutual authentication: a client without a certificate the CA signed,
  // or with one out of its dates, fails the handshake.
  context->set_verify_mode(asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert, ec);
  return ec ? failed("verify mode") : "";
}

std::string HandshakeFailure(TlsStream& stream, const asio::error_code& ec) {
  const long verified = SSL_get_verify_result(stream.native_handle());
  if (verified == X509_V_OK) return "TLS handshake failed: " + ec.message();
  return std::string("TLS handshake failed: certificate verify failed: ") +
         (verified == X509_V_ERR_CERT_HAS_EXPIRED ? "certificate expired"
                                                  : X509_verify_cert_error_string(verified));
}

PeerCertificate ReadPeerCertificate(TlsStream& stream) {
  PeerCertificate out;
  X509* cert = SSL_get1_peer_certificate(stream.native_handle());
  if (cert == nullptr) return out;
  out.present = true;
  ASN1_OBJECT* oid = OBJ_txt2obj("1.3.6.1.4.1.50316.802.1", 1);
  const int at = oid != nullptr ? X509_get_ext_by_OBJ(cert, oid, -1) : -1;
  if (at >= 0) {
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(X509_get_ext(cert, at));
    const unsigned char* p = ASN1_STRING_get0_data(data);
    if (ASN1_UTF8STRING* text = d2i_ASN1_UTF8STRING(nullptr, &p, ASN1_STRING_length(data))) {
      out.role.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                      static_cast<size_t>(ASN1_STRING_length(text)));
      ASN1_UTF8STRING_free(text);
    }
  }
  ASN1_OBJECT_free(oid);
  char cn[256] = {};
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) > 0) {
    out.subject = cn;
  }
  X509_free(cert);
  return out;
}

}  // namespace gateway::net
