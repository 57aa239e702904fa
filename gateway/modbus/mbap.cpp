#include "gateway/modbus/mbap.h"

namespace gateway::modbus {

namespace {

uint16_t Word(const uint8_t* at) {
  return static_cast<uint16_t>((at[0] << 8) | at[1]);
}

}  // namespace

FrameState Frame(const uint8_t* data, size_t available, size_t& size) {
  if (available >= 4 && Word(data + 2) != 0) return FrameState::Bad;
  if (available < 6) return FrameState::Incomplete;
  const uint32_t length = Word(data + 4);  // unit id and PDU
  if (length < 2 || length > 254) return FrameState::Bad;
  size = 6 + length;
  return available >= size ? FrameState::Complete : FrameState::Incomplete;
}

}  // namespace gateway::modbus
