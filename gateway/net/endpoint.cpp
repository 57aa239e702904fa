#include "gateway/net/endpoint.h"

namespace gateway::net {

std::string ClientAddress(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  }
  return address.to_string();
}

std::string Listen(asio::ip::tcp::acceptor& acceptor, const std::string& address, int port,
                   const std::string& what, bool dualStack) {
  asio::error_code ec;
  const asio::ip::address ip = asio::ip::make_address(address, ec);
  if (ec) return what + "listen address '" + address + "' is not an IPv4 or IPv6 address";
  const asio::ip::tcp::endpoint endpoint(ip, static_cast<uint16_t>(port));
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  // "::" takes IPv4 clients too (as IPv4-mapped addresses), whatever the host's default.
  if (!ec && dualStack && ip.is_v6()) acceptor.set_option(asio::ip::v6_only(false), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  // Bursts of connects wait in the kernel's queue rather than for SYN retries.
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    return "cannot listen" + (what.empty() ? "" : " (" + what.substr(0, what.size() - 1) + ")") +
           " on " + address + ":" + std::to_string(port) + ": " + ec.message();
  }
  return "";
}

}  // namespace gateway::net
