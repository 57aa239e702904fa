// A Modbus TCP client on a raw socket, byte for byte: for attacks (frames a
// real client would never send, pipelining, bytes trickled, answers never
// read) and for reading answers on one connection exactly as they come.
// Every wait is bounded. Linux, loopback.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace gwtest {

std::vector<uint8_t> Adu(uint16_t transaction, uint8_t unit, const std::vector<uint8_t>& pdu);
std::vector<uint8_t> ReadPdu(uint8_t function, uint16_t address, uint16_t count);
std::vector<uint8_t> WritePdu(uint16_t address, uint16_t value);  // function 6
std::string Hex(const std::vector<uint8_t>& bytes);

class RawClient {
 public:
  // Connects to 127.0.0.1:port, from `from` when given (any 127.x.y.z).
  explicit RawClient(int port, const char* from = nullptr);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connected() const { return fd_ >= 0; }
  bool Send(const std::vector<uint8_t>& bytes);  // all of them within 5 s
  enum class Got { Frame, Closed, Silent };
  // One answer, delimited by its MBAP header, within `limit`.
  Got Receive(std::vector<uint8_t>& frame,
              std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
  // Sends a request and receives one answer (with its time in *ms).
  Got Ask(const std::vector<uint8_t>& request, std::vector<uint8_t>& answer, double* ms = nullptr);
  // Whether the peer closes the connection within `limit` (answers still
  // arriving are read and dropped).
  bool ClosedWithin(std::chrono::milliseconds limit);

 private:
  int fd_ = -1;
  std::vector<uint8_t> pending_;
};

}  // namespace gwtest
