// One client connection: it owns its socket (or TLS stream), its input
// buffer and output queue, its named state and its deadline (a timer of its
// own). What the bytes mean is its owner's (Connection::Owner): the
// connection reads, writes, times out and closes.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "gateway/access/policy.h"
#include "gateway/core/gateway.h"
#include "gateway/net/tls.h"

namespace gateway::net {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  enum class State {
    Handshaking,  // TLS: the handshake is under way (within request_timeout_ms)
    Waiting,      // between requests (closed after idle_timeout_s without one)
    Receiving,    // part of a request has come (the rest within request_timeout_ms)
    Busy,         // a request is being carried out (a write waits for its line): nothing is read
    Closed,
  };
  struct Limits {
    std::chrono::milliseconds idleTimeout{60000};
    std::chrono::milliseconds requestTimeout{2000};
    size_t maxBacklog = 64 * 1024;  // answers the client has not taken, in bytes
    size_t inputBytes = 1040;       // requests received and not yet taken (a few whole frames)
  };
  class Owner {
   public:
    virtual ~Owner() = default;
    // TLS: the handshake ended (`ec` when it failed); "" to go on, else why
    // the connection is refused (it is then closed with that reason).
    virtual std::string Verified(Connection& c, const asio::error_code& ec) = 0;
    // Bytes have come: the owner takes whole frames (Input, Consume) and
    // answers (Send), holds the connection (Hold) or closes it.
    virtual void Received(const std::shared_ptr<Connection>& c) = 0;
    // The connection has closed; `reason` is nullptr when the client closed
    // it (or the gateway did, silently: stopping).
    virtual void Closed(Connection& c, const char* reason) = 0;
  };

  // `context` non-null: Modbus/TCP Security (the handshake comes first).
  Connection(asio::ip::tcp::socket socket, asio::ssl::context* context, std::string address,
             uint16_t port, uint64_t serial, Owner& owner, const Limits& limits);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Start();  // the handshake, or the first read
  // Closes the socket at once; `reason` (given to the owner) when the gateway closes it.
  void Close(const char* reason);
  // Stops reading: closes once every answer is sent and nothing is held.
  void Drain();

  // The bytes received and not yet taken, and taking whole frames from them.
  const uint8_t* Input() const { return in_.data(); }
  size_t InputSize() const { return used_; }
  void Consume(size_t size);
  void Send(const std::vector<uint8_t>& bytes);  // closes past the backlog bound
  // A whole request has come (the idle time runs from here).
  void Requested();
  // A request is being carried out: nothing more is read until Release,
  // which takes the requests that came meanwhile.
  void Hold();
  void Release();

  State CurrentState() const { return state_; }
  // Nothing in progress, nothing to send: it may give way to a new connection.
  bool Idle() const { return state_ != State::Busy && !writing_ && out_.empty(); }
  bool EverRequested() const { return requested_; }
  Clock::time_point LastRequest() const { return lastRequest_; }
  const std::string& Address() const { return address_; }
  uint16_t Port() const { return port_; }
  uint64_t Serial() const { return serial_; }
  TlsStream* Tls() { return tls_.get(); }

  // The owner's: what the client may do, and its counters.
  access::Rights rights;
  ClientCounters* counters = nullptr;
  std::list<std::shared_ptr<Connection>>::iterator slot;  // its place in the ConnectionSet

 private:
  asio::ip::tcp::socket& Socket();
  void StartRead();
  // Answers wait behind a write the client has not taken: nothing more is
  // read (requests nobody reads are neither parsed nor answered) until it
  // takes them, within request_timeout_ms, or the connection is closed.
  bool Stalled() const { return writing_ && !out_.empty(); }
  void Process();  // the owner takes what came; the state follows what is left
  void Flush();
  // Arms the timer for the earliest deadline, unless it fires before it already.
  void Arm();
  // The earliest deadline and why it closes the connection (nullptr: none).
  const char* Deadline(Clock::time_point& at) const;
  void Expired();

  asio::ip::tcp::socket socket_;  // plain TCP; or the lowest layer of `tls_`
  std::unique_ptr<TlsStream> tls_;
  std::string address_;
  uint16_t port_;
  uint64_t serial_;
  Owner& owner_;
  const Limits& limits_;
  State state_ = State::Waiting;
  std::vector<uint8_t> in_;
  size_t used_ = 0;                         // bytes of `in_` received and not yet taken
  std::vector<uint8_t> out_, sending_;      // answers waiting, answers on their way
  bool reading_ = false, writing_ = false;  // an operation on the socket is under way
  bool draining_ = false;
  bool requested_ = false;            // it has sent a whole request
  Clock::time_point lastRequest_;     // the last whole request (or the connect)
  Clock::time_point since_{};         // the handshake or the partial request began
  Clock::time_point sendingSince_{};  // the answers on their way were handed over
  asio::steady_timer timer_;
  bool armed_ = false;
  Clock::time_point armedFor_{};
};

}  // namespace gateway::net
