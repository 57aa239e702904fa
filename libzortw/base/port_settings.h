// Line parameters and port settings as they travel in the host's parameter
// blocks and sit inside the instance context. Byte-packed: every field
// starts at the byte after the previous one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zortw/zortw.h"

// The records themselves are the public header's: the driver is compiled
// against what hosts include.
using LineSettings = ZorLineSettings;
using PortSettings = ZorPortSettings;

// The DTR and RTS control modes that a handshake mask selects (the values of
// the Windows DCB's fDtrControl and fRtsControl). Within each group the first
// matching rule decides.
enum DtrControl : uint8_t { DtrDisable = 0, DtrEnable = 1, DtrHandshake = 2 };
enum RtsControl : uint8_t { RtsDisable = 0, RtsEnable = 1, RtsHandshake = 2, RtsToggle = 3 };

constexpr DtrControl HandshakeDtrControl(uint16_t handshake) {
  if (handshake & 0x0101) return DtrEnable;
  if (handshake & 0x8000) return DtrHandshake;
  return DtrDisable;
}

constexpr RtsControl HandshakeRtsControl(uint16_t handshake) {
  if (handshake & 0x0202) return RtsEnable;
  if (handshake & 0x1000) return RtsHandshake;
  if (handshake & 0x2000) return RtsToggle;
  return RtsDisable;
}

// The mask ColdStart stores: neither DTR nor RTS enabled.
inline constexpr uint16_t kColdStartHandshake = 0x0008;
