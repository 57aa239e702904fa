// The Modbus TCP side (libmodbus): a listening socket, one thread per client
// up to a limit, each receiving requests with modbus_receive and answering
// with modbus_reply or modbus_reply_exception from the gateway's core.
#pragma once

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "tools/gateway/gw_gateway.h"

namespace gateway {

class Server {
 public:
  Server(Gateway& gateway, int maxClients);
  ~Server();

  // Binds and listens; returns an error text or "".
  std::string Listen(const std::string& address, int port);
  int ListenFd() const { return listenFd_; }
  int Port() const { return port_; }
  // Accepts one waiting client (refused beyond the limit).
  void AcceptOne();
  // Joins the threads of clients that have gone.
  void Reap();
  // Closes the listening socket and every client connection; joins.
  void Shutdown();
  int ActiveClients();

  // Answers one request (the whole ADU as modbus_receive returned it);
  // public for the tests. Returns false to close the connection.
  static bool Answer(Gateway& gateway, void* modbusContext, const uint8_t* request, int length);

 private:
  struct Client {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void Serve(Client& client);

  Gateway& gateway_;
  int maxClients_;
  int listenFd_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::list<Client> clients_;
  bool stopping_ = false;
};

}  // namespace gateway
