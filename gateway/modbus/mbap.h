// Modbus TCP framing: a frame is delimited by its MBAP header (transaction
// id, protocol id 0, length, unit id), whatever its function code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gateway::modbus {

inline constexpr size_t kHeaderSize = 7;  // MBAP: transaction, protocol, length, unit
inline constexpr size_t kMaxAdu = 260;    // MBAP header and a 253-byte PDU

// Where the front of a byte stream stands.
enum class FrameState {
  Incomplete,  // more bytes are needed (a header that is fine so far)
  Complete,    // a whole frame of `size` bytes
  Bad,         // protocol id other than 0, or length outside 2..254: close the connection
};
FrameState Frame(const uint8_t* data, size_t available, size_t& size);

}  // namespace gateway::modbus
