// Line parameters and port settings as they travel in the host's parameter
// blocks and sit inside the instance context. Byte-packed: every field
// starts at the byte after the previous one.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// Four 16-bit fields, in this order wherever they appear.
struct LineSettings {
  uint16_t baudRate;  // bits per second
  uint16_t dataBits;  // low byte becomes the device's byte size
  uint16_t stopBits;  // 0 one, 1 one and a half, 2 two
  uint16_t parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

struct PortSettings {
  char portName[12];  // NUL-terminated within the 12 bytes; "NUL" is the dummy port
  LineSettings line;
  uint16_t handshake;  // DTR/RTS mode mask
  uint8_t reserved;    // cleared by ColdStart, read by nobody
};

#pragma pack(pop)

static_assert(sizeof(LineSettings) == 8);
static_assert(offsetof(LineSettings, baudRate) == 0);
static_assert(offsetof(LineSettings, dataBits) == 2);
static_assert(offsetof(LineSettings, stopBits) == 4);
static_assert(offsetof(LineSettings, parity) == 6);
static_assert(sizeof(PortSettings) == 23);
static_assert(offsetof(PortSettings, portName) == 0);
static_assert(offsetof(PortSettings, line) == 12);
static_assert(offsetof(PortSettings, handshake) == 20);
static_assert(offsetof(PortSettings, reserved) == 22);

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
