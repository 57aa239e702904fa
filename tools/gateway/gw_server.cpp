#include "tools/gateway/gw_server.h"

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace gateway {

namespace {

uint16_t Word(const uint8_t* at) {
  return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

struct MappingDeleter {
  void operator()(modbus_mapping_t* m) const { modbus_mapping_free(m); }
};
using Mapping = std::unique_ptr<modbus_mapping_t, MappingDeleter>;

// A mapping that holds exactly the request's range, for modbus_reply.
Mapping MappingFor(Kind kind, uint32_t address, uint32_t count) {
  const auto a = static_cast<unsigned>(address);
  const auto n = static_cast<unsigned>(count);
  switch (kind) {
    case Kind::Coil:
      return Mapping(modbus_mapping_new_start_address(a, n, 0, 0, 0, 0, 0, 0));
    case Kind::Discrete:
      return Mapping(modbus_mapping_new_start_address(0, 0, a, n, 0, 0, 0, 0));
    case Kind::Holding:
      return Mapping(modbus_mapping_new_start_address(0, 0, 0, 0, a, n, 0, 0));
    case Kind::Input:
      return Mapping(modbus_mapping_new_start_address(0, 0, 0, 0, 0, 0, a, n));
  }
  return nullptr;
}

}  // namespace

Server::Server(Gateway& gateway, int maxClients) : gateway_(gateway), maxClients_(maxClients) {}

Server::~Server() {
  Shutdown();
}

std::string Server::Listen(const std::string& address, int port) {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return std::string("socket: ") + std::strerror(errno);
  const int on = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    return "listen address '" + address + "' is not an IPv4 address";
  }
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    return "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
  }
  if (listen(listenFd_, 64) != 0) return std::string("listen: ") + std::strerror(errno);
  socklen_t size = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &size);
  port_ = ntohs(addr.sin_port);
  return "";
}

int Server::ActiveClients() {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (Client& c : clients_) n += c.done ? 0 : 1;
  return n;
}

void Server::AcceptOne() {
  const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  Reap();
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ || static_cast<int>(clients_.size()) >= maxClients_) {
    Log("refused a client: " + std::to_string(clients_.size()) + " clients connected (limit " +
        std::to_string(maxClients_) + ")");
    gateway_.CountRefusedClient();
    close(fd);
    return;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  Client& client = clients_.emplace_back();
  client.fd = fd;
  gateway_.CountClient(+1);
  client.thread = std::thread([this, &client] { Serve(client); });
}

void Server::Reap() {
  std::list<Client> gone;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
      auto next = std::next(it);
      if (it->done) gone.splice(gone.end(), clients_, it);
      it = next;
    }
  }
  for (Client& c : gone) c.thread.join();
}

void Server::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (Client& c : clients_) {
      if (!c.done) shutdown(c.fd, SHUT_RDWR);
    }
  }
  for (Client& c : clients_) {
    if (c.thread.joinable()) c.thread.join();
  }
  clients_.clear();
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = -1;
}

void Server::Serve(Client& client) {
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
  if (ctx != nullptr) {
    modbus_set_socket(ctx, client.fd);
    std::vector<uint8_t> request(MODBUS_TCP_MAX_ADU_LENGTH);
    for (;;) {
      const int length = modbus_receive(ctx, request.data());
      if (length == 0) continue;  // a request for another slave (not on TCP)
      if (length < 0) break;      // closed, or a request libmodbus could not take
      if (!Answer(gateway_, ctx, request.data(), length)) break;
    }
    modbus_free(ctx);  // does not close the socket: modbus_close was not called
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    close(client.fd);
    client.fd = -1;
  }
  client.done = true;  // before the count: a count that dropped means Reap may join
  gateway_.CountClient(-1);
}

bool Server::Answer(Gateway& gateway, void* modbusContext, const uint8_t* req, int length) {
  modbus_t* ctx = static_cast<modbus_t*>(modbusContext);
  const int header = modbus_get_header_length(ctx);  // 7 on TCP: the MBAP header
  if (length < header + 1) return false;
  const int unit = req[header - 1];
  const int function = req[header];
  const uint8_t* pdu = req + header + 1;
  const int pduLength = length - header - 1;
  auto exception = [&](uint8_t code) { return modbus_reply_exception(ctx, req, code) >= 0; };

  Kind kind = Kind::Holding;
  switch (function) {
    case 1:
      kind = Kind::Coil;
      break;
    case 2:
      kind = Kind::Discrete;
      break;
    case 3:
      kind = Kind::Holding;
      break;
    case 4:
      kind = Kind::Input;
      break;
    case 5:
      kind = Kind::Coil;
      break;
    case 6:
      kind = Kind::Holding;
      break;
    case 15:
      kind = Kind::Coil;
      break;
    case 16:
      kind = Kind::Holding;
      break;
    default:
      return exception(kIllegalFunction);
  }
  if (pduLength < 4) return exception(kIllegalValue);
  const uint32_t address = Word(pdu);
  const bool bits = kind == Kind::Coil || kind == Kind::Discrete;

  if (function <= 4) {
    const uint32_t count = Word(pdu + 2);
    const uint32_t limit = bits ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS;
    if (count < 1 || count > limit) return exception(kIllegalValue);
    if (address + count > 65536) return exception(kIllegalAddress);
    std::vector<uint16_t> values;
    const uint8_t code = gateway.Read(unit, kind, address, count, values, Clock::now());
    if (code != kOk) return exception(code);
    Mapping mapping = MappingFor(kind, address, count);
    if (!mapping) return exception(kDeviceFailure);
    for (uint32_t i = 0; i < count; ++i) {
      switch (kind) {
        case Kind::Coil:
          mapping->tab_bits[i] = static_cast<uint8_t>(values[i]);
          break;
        case Kind::Discrete:
          mapping->tab_input_bits[i] = static_cast<uint8_t>(values[i]);
          break;
        case Kind::Holding:
          mapping->tab_registers[i] = values[i];
          break;
        case Kind::Input:
          mapping->tab_input_registers[i] = values[i];
          break;
      }
    }
    return modbus_reply(ctx, req, length, mapping.get()) >= 0;
  }

  std::vector<uint16_t> values;
  uint32_t count = 1;
  if (function == 5) {
    const uint16_t value = Word(pdu + 2);
    if (value != 0xFF00 && value != 0x0000) return exception(kIllegalValue);
    values.push_back(value == 0xFF00 ? 1 : 0);
  } else if (function == 6) {
    values.push_back(Word(pdu + 2));
  } else {
    count = Word(pdu + 2);
    if (pduLength < 5) return exception(kIllegalValue);
    const uint32_t bytes = pdu[4];
    const uint32_t limit = bits ? MODBUS_MAX_WRITE_BITS : MODBUS_MAX_WRITE_REGISTERS;
    const uint32_t expected = bits ? (count + 7) / 8 : count * 2;
    if (count < 1 || count > limit || bytes != expected ||
        static_cast<uint32_t>(pduLength) < 5 + bytes) {
      return exception(kIllegalValue);
    }
    if (address + count > 65536) return exception(kIllegalAddress);
    const uint8_t* data = pdu + 5;
    for (uint32_t i = 0; i < count; ++i) {
      values.push_back(bits ? static_cast<uint16_t>((data[i / 8] >> (i % 8)) & 1)
                            : Word(data + 2 * i));
    }
  }
  const uint8_t code = gateway.Write(unit, kind, address, values);
  if (code != kOk) return exception(code);
  Mapping mapping = MappingFor(kind, address, count);
  if (!mapping) return exception(kDeviceFailure);
  return modbus_reply(ctx, req, length, mapping.get()) >= 0;
}

}  // namespace gateway
