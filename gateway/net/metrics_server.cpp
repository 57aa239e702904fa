#include "gateway/net/metrics_server.h"

#include <chrono>
#include <cstdlib>

#include "gateway/net/endpoint.h"
#include "gateway/report/prometheus.h"

namespace gateway {

namespace {

constexpr size_t kMaxRequest = 8 * 1024;
constexpr size_t kMaxClients = 16;
constexpr auto kTimeout = std::chrono::seconds(5);

}  // namespace

struct MetricsServer::Client {
  explicit Client(asio::ip::tcp::socket s, asio::io_context& io)
      : socket(std::move(s)), timer(io) {}
  asio::ip::tcp::socket socket;
  asio::steady_timer timer;  // the request, then the answer, within kTimeout
  std::string in, out;
  std::list<std::shared_ptr<Client>>::iterator self;
  bool closed = false;
};

MetricsServer::MetricsServer(asio::io_context& io, Gateway& gateway)
    : io_(io), gateway_(gateway), acceptor_(io) {}

MetricsServer::~MetricsServer() {
  Stop();
}

std::string MetricsServer::Listen(const std::string& host, int port) {
  // IPv6 only on an IPv6 address: the host's default for the metrics listener.
  if (std::string error = net::Listen(acceptor_, host, port, "metrics ", false); !error.empty()) {
    return error;
  }
  asio::error_code ec;
  port_ = acceptor_.local_endpoint(ec).port();
  Accept();
  return "";
}

void MetricsServer::Stop() {
  stopped_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);
  while (!clients_.empty()) Close(clients_.front());
}

void MetricsServer::Accept() {
  if (stopped_) return;
  acceptor_.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || stopped_) return;
    if (ec) {
      // Out of descriptors, say: try again shortly rather than spin.
      auto pause = std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(100));
      pause->async_wait([this, pause](const asio::error_code&) { Accept(); });
      return;
    }
    asio::error_code e;
    const auto remote = socket.remote_endpoint(e);
    const Config& config = gateway_.Cfg();
    const bool allowed = !e && (config.clients.empty() ||
                                config.RuleFor(net::ClientAddress(remote.address())) != nullptr);
    if (!allowed) {
      if (!e) gateway_.Client(net::ClientAddress(remote.address())).refusals.Add();
      socket.close(e);
    } else {
      // A full listener still serves: the oldest connection gives way (a
      // scrape takes milliseconds; one that old is idle or stuck).
      if (clients_.size() >= kMaxClients) Close(clients_.front());
      auto c = std::make_shared<Client>(std::move(socket), io_);
      c->self = clients_.insert(clients_.end(), c);
      c->timer.expires_after(kTimeout);
      c->timer.async_wait([this, c](const asio::error_code& t) {
        if (!t) Close(c);  // too slow to ask, or to take the answer
      });
      Read(c);
    }
    Accept();
  });
}

void MetricsServer::Read(const std::shared_ptr<Client>& c) {
  auto buffer = std::make_shared<std::array<char, 1024>>();
  c->socket.async_read_some(asio::buffer(*buffer), [this, c, buffer](const asio::error_code& ec,
                                                                     size_t n) {
    if (c->closed) return;
    if (ec) return Close(c);
    c->in.append(buffer->data(), n);
    if (c->in.find("\r\n\r\n") != std::string::npos || c->in.find("\n\n") != std::string::npos) {
      return Answer(c);
    }
    if (c->in.size() > kMaxRequest) return Close(c);
    Read(c);
  });
}

void MetricsServer::Answer(const std::shared_ptr<Client>& c) {
  const size_t end = c->in.find_first_of("\r\n");
  const std::string line = c->in.substr(0, end);
  std::string status = "200 OK", type = "text/plain; version=0.0.4; charset=utf-8", body;
  if (line.rfind("GET /metrics ", 0) == 0 || line == "GET /metrics") {
    body = MetricsText(gateway_, Clock::now());
  } else if (line.rfind("GET ", 0) == 0) {
    status = "404 Not Found";
    body = "only /metrics is served\n";
  } else {
    status = "405 Method Not Allowed";
    body = "only GET is served\n";
  }
  c->out = "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
  asio::async_write(c->socket, asio::buffer(c->out), [this, c](const asio::error_code&, size_t) {
    if (c->closed) return;
    asio::error_code ignored;
    c->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    Close(c);
  });
}

void MetricsServer::Close(const std::shared_ptr<Client>& c) {
  if (c->closed) return;
  c->closed = true;
  asio::error_code ignored;
  c->timer.cancel();
  c->socket.close(ignored);
  clients_.erase(c->self);
}

}  // namespace gateway
