#include "gateway/net/connection.h"

#include <algorithm>

namespace gateway::net {

Connection::Connection(asio::ip::tcp::socket socket, asio::ssl::context* context,
                       std::string address, uint16_t port, uint64_t serial, Owner& owner,
                       const Limits& limits)
    : socket_(socket.get_executor()),
      address_(std::move(address)),
      port_(port),
      serial_(serial),
      owner_(owner),
      limits_(limits),
      in_(limits.inputBytes),
      lastRequest_(Clock::now()),
      timer_(socket.get_executor()) {
  if (context != nullptr) {
    tls_ = std::make_unique<TlsStream>(std::move(socket), *context);
  } else {
    socket_ = std::move(socket);
  }
}

asio::ip::tcp::socket& Connection::Socket() {
  return tls_ ? tls_->next_layer() : socket_;
}

void Connection::Start() {
  if (!tls_) {
    Arm();
    return StartRead();
  }
  // The handshake must be done within request_timeout_ms, like a request.
  state_ = State::Handshaking;
  since_ = Clock::now();
  Arm();
  tls_->async_handshake(asio::ssl::stream_base::server,
                        [this, self = shared_from_this()](const asio::error_code& ec) {
                          if (state_ == State::Closed) return;
                          state_ = State::Waiting;
                          since_ = {};
                          const std::string refused = owner_.Verified(*this, ec);
                          if (!refused.empty()) return Close(refused.c_str());
                          StartRead();
                        });
}

void Connection::StartRead() {
  if (state_ == State::Closed || state_ == State::Busy || state_ == State::Handshaking ||
      reading_ || draining_ || Stalled()) {
    return;
  }
  if (used_ == in_.size()) return;  // cannot happen: whole frames are always taken
  reading_ = true;
  auto done = [this, self = shared_from_this()](const asio::error_code& ec, size_t n) {
    reading_ = false;
    if (state_ == State::Closed) return;
    if (ec || n == 0) return Close(nullptr);  // the client closed, or reset
    used_ += n;
    Process();
    StartRead();
  };
  const auto buffer = asio::buffer(in_.data() + used_, in_.size() - used_);
  if (tls_) {
    tls_->async_read_some(buffer, std::move(done));
  } else {
    socket_.async_read_some(buffer, std::move(done));
  }
}

void Connection::Process() {
  if (state_ == State::Closed || state_ == State::Busy || draining_) return;
  owner_.Received(shared_from_this());
  if (state_ == State::Closed || state_ == State::Busy) return;
  // What is left is the start of a request; its time runs from its first byte.
  if (used_ == 0) {
    state_ = State::Waiting;
    since_ = {};
  } else {
    if (state_ != State::Receiving || since_ == Clock::time_point{}) since_ = Clock::now();
    state_ = State::Receiving;
  }
  Arm();
}

void Connection::Consume(size_t size) {
  std::copy(in_.begin() + static_cast<long>(size), in_.begin() + static_cast<long>(used_),
            in_.begin());
  used_ -= size;
  since_ = {};  // a partial request after this one starts its own time
}

void Connection::Requested() {
  lastRequest_ = Clock::now();
  requested_ = true;
}

void Connection::Hold() {
  if (state_ != State::Closed) state_ = State::Busy;
}

void Connection::Release() {
  if (state_ != State::Busy) return;
  state_ = State::Waiting;
  lastRequest_ = Clock::now();
  if (draining_) return Flush();  // its answer is out, or on its way: then it closes
  Process();
  StartRead();
}

void Connection::Send(const std::vector<uint8_t>& bytes) {
  if (state_ == State::Closed) return;
  out_.insert(out_.end(), bytes.begin(), bytes.end());
  if (out_.size() + sending_.size() > limits_.maxBacklog) {
    return Close("does not read its answers (backlog over the bound)");
  }
  Flush();
}

void Connection::Drain() {
  draining_ = true;
  Flush();
}

void Connection::Flush() {
  if (state_ == State::Closed || writing_) return;
  if (out_.empty()) {
    if (draining_ && state_ != State::Busy) Close(nullptr);  // everything taken is answered
    return;
  }
  sending_.swap(out_);
  out_.clear();
  writing_ = true;
  sendingSince_ = Clock::now();
  auto done = [this, self = shared_from_this()](const asio::error_code& ec, size_t) {
    writing_ = false;
    sending_.clear();
    if (state_ == State::Closed) return;
    if (ec) return Close(nullptr);
    Flush();
    // The client took its answers: the requests it sent meanwhile are read
    // (reading stops while answers wait behind a write that cannot finish).
    if (!Stalled()) {
      Process();
      StartRead();
    }
  };
  if (tls_) {
    asio::async_write(*tls_, asio::buffer(sending_), std::move(done));
  } else {
    asio::async_write(socket_, asio::buffer(sending_), std::move(done));
  }
  Arm();
}

void Connection::Close(const char* reason) {
  if (state_ == State::Closed) return;
  const auto self = shared_from_this();  // the owner may drop the last other reference
  state_ = State::Closed;
  asio::error_code ignored;
  Socket().close(ignored);
  timer_.cancel();
  owner_.Closed(*this, reason);
}

const char* Connection::Deadline(Clock::time_point& at) const {
  const char* why = nullptr;
  const auto consider = [&](Clock::time_point when, const char* reason) {
    if (why == nullptr || when < at) {
      at = when;
      why = reason;
    }
  };
  if (Stalled()) {
    // Nothing is read meanwhile: the client's answers are all that can move.
    at = sendingSince_ + limits_.requestTimeout;
    return "does not read its answers (none taken within request_timeout_ms)";
  }
  if (state_ == State::Handshaking || state_ == State::Receiving) {
    consider(since_ + limits_.requestTimeout,
             "a request did not arrive whole within request_timeout_ms");
  }
  if (writing_) {
    consider(sendingSince_ + limits_.idleTimeout, "has not read its answers for idle_timeout_s");
  }
  if (state_ != State::Busy)
    consider(lastRequest_ + limits_.idleTimeout, "idle for idle_timeout_s");
  return why;
}

void Connection::Arm() {
  if (state_ == State::Closed) return;
  Clock::time_point at;
  if (Deadline(at) == nullptr) return;
  // A timer that fires earlier looks again then; a request moving the idle
  // deadline later costs nothing.
  if (armed_ && armedFor_ <= at) return;
  armed_ = true;
  armedFor_ = at;
  timer_.expires_at(at);
  timer_.async_wait([this, self = shared_from_this()](const asio::error_code& ec) {
    if (ec) return;  // cancelled: closed, or armed again for an earlier deadline
    armed_ = false;
    Expired();
  });
}

void Connection::Expired() {
  if (state_ == State::Closed) return;
  Clock::time_point at;
  const char* why = Deadline(at);
  if (why != nullptr && Clock::now() >= at) return Close(why);
  Arm();
}

}  // namespace gateway::net
