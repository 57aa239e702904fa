// Listening sockets and client addresses, one way for every listener (Modbus
// TCP, Modbus/TCP Security, metrics).
#pragma once

#include <asio.hpp>
#include <string>

namespace gateway::net {

// The client's address as text; an IPv4 client of a dual-stack socket as IPv4.
std::string ClientAddress(const asio::ip::address& address);

// Opens, binds and listens on ADDRESS:PORT with the kernel's largest queue of
// connections waiting to be accepted; an IPv6 address ("::") takes IPv4
// clients too when `dualStack`. `what` names the listener in errors ("",
// "TLS ", "metrics "). Returns an error text or "".
std::string Listen(asio::ip::tcp::acceptor& acceptor, const std::string& address, int port,
                   const std::string& what, bool dualStack = true);

}  // namespace gateway::net
