#include "tests/gateway/raw_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace gwtest {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Adu(uint16_t transaction, uint8_t unit, const std::vector<uint8_t>& pdu) {
  const size_t length = pdu.size() + 1;
  std::vector<uint8_t> out(7 + pdu.size());
  out[0] = static_cast<uint8_t>(transaction >> 8);
  out[1] = static_cast<uint8_t>(transaction & 0xFF);
  out[4] = static_cast<uint8_t>(length >> 8);
  out[5] = static_cast<uint8_t>(length & 0xFF);
  out[6] = unit;
  for (size_t i = 0; i < pdu.size(); ++i) out[7 + i] = pdu[i];
  return out;
}

std::vector<uint8_t> ReadPdu(uint8_t function, uint16_t address, uint16_t count) {
  return {function, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address & 0xFF),
          static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count & 0xFF)};
}

std::vector<uint8_t> WritePdu(uint16_t address, uint16_t value) {
  return {6, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address & 0xFF),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)};
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

RawClient::RawClient(int port, const char* from) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  if (from != nullptr) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd_);
      fd_ = -1;
      return;
    }
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  // Loopback connects complete at once or fail at once (the listen queue
  // takes them before the gateway accepts).
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd_);
    fd_ = -1;
    return;
  }
  const int on = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

RawClient::~RawClient() {
  if (fd_ >= 0) close(fd_);
}

bool RawClient::Send(const std::vector<uint8_t>& bytes) {
  if (fd_ < 0) return false;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (Clock::now() > deadline) return false;
    pollfd p{fd_, POLLOUT, 0};
    poll(&p, 1, 100);
  }
  return true;
}

RawClient::Got RawClient::Receive(std::vector<uint8_t>& frame, std::chrono::milliseconds limit) {
  frame.clear();
  if (fd_ < 0) return Got::Closed;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (pending_.size() >= 6) {
      const size_t size = 6 + static_cast<size_t>((pending_[4] << 8) | pending_[5]);
      if (pending_.size() >= size) {
        frame.assign(pending_.begin(), pending_.begin() + static_cast<long>(size));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(size));
        return Got::Frame;
      }
    }
    // At least one look at the socket, however short the limit.
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::max<long>(0, left))) <= 0) {
      if (left <= 0) return Got::Silent;
      continue;
    }
    uint8_t buffer[4096];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return Got::Closed;
    if (n > 0) pending_.insert(pending_.end(), buffer, buffer + n);
  }
}

RawClient::Got RawClient::Ask(const std::vector<uint8_t>& request, std::vector<uint8_t>& answer,
                              double* ms) {
  const auto start = Clock::now();
  if (!Send(request)) return Got::Closed;
  const Got got = Receive(answer);
  if (ms != nullptr) {
    *ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  }
  return got;
}

bool RawClient::ClosedWithin(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::vector<uint8_t> frame;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    if (Receive(frame, left) == Got::Closed) return true;
  }
}

}  // namespace gwtest
