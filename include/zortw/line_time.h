// The time characters take on the line, from the line settings alone (C++),
// published beside zortw.h: the driver's serial layer bounds every wait on
// the line with it, and hosts that reckon with line time (tiway, the
// gateway) include it for the same figures. Header-only and constexpr, on
// the public line record.
#pragma once

#include <cstdint>

#include "zortw/zortw.h"

// Bits one character takes on the line: a start bit, the data bits, a
// parity bit unless there is no parity, and the stop bits (one and a half
// counted as two). Only the low byte of each field counts, as in the
// Windows device control block.
constexpr uint32_t LineCharacterBits(const ZorLineSettings& line) {
  const uint32_t dataBits = line.dataBits & 0xFF;
  const uint32_t parityBit = (line.parity & 0xFF) == 0 ? 0 : 1;
  const uint32_t stopBits = (line.stopBits & 0xFF) == 0 ? 1 : 2;
  return 1 + dataBits + parityBit + stopBits;
}

// The time of one character in microseconds, rounded up; 0 when the rate
// is 0.
constexpr uint32_t LineCharacterMicros(const ZorLineSettings& line) {
  if (line.baudRate == 0) return 0;
  return (LineCharacterBits(line) * 1000000u + line.baudRate - 1) / line.baudRate;
}

static_assert(LineCharacterBits(ZorLineSettings{19200, 7, 0, 1}) == 10);     // 7O1
static_assert(LineCharacterMicros(ZorLineSettings{9600, 8, 0, 0}) == 1042);  // 8N1
