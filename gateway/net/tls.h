// Modbus/TCP Security's TLS side: the server's context (TLS 1.2 or later, a
// client certificate required and verified against the CA), why a handshake
// failed, and what a verified client certificate says about its holder.
#pragma once

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <memory>
#include <string>

#include "gateway/config/config.h"

namespace gateway::net {

using TlsStream = asio::ssl::stream<asio::ip::tcp::socket>;

// The context for `tls`'s files into `context`; an error text or "".
std::string MakeTlsContext(const TlsConfig& tls, std::unique_ptr<asio::ssl::context>& context);

// Why a handshake failed: when the client's certificate did not verify, why
// not (an expired one says so); else OpenSSL's error.
std::string HandshakeFailure(TlsStream& stream, const asio::error_code& ec);

// The client certificate of a finished handshake: its Modbus/TCP Security
// role extension (OID 1.3.6.1.4.1.50316.802.1, a UTF8String) and its
// subject's common name, each empty when absent.
struct PeerCertificate {
  bool present = false;
  std::string role, subject;
};
PeerCertificate ReadPeerCertificate(TlsStream& stream);

}  // namespace gateway::net
