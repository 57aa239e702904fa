// The diagnostics unit: the counters as input and holding registers. Words
// 0 to 9 the gateway (layout version, lines, units, uptime, connections);
// 20 to 40 the MQTT edge node (all 0 without [mqtt]): 20 configured, 21
// session up, 22 primary host online, then 32-bit connects (23),
// connect failures (25), published (27), stored (29), replayed (31),
// dropped (33), store depth (35), refused commands (37) and bdSeq (39);
// then 32 words per line from kDiagLineBase, 32 per unit from kDiagUnitBase,
// and 16 per client address from kDiagClientBase. 32-bit values high word
// first, saturated.
#pragma once

#include <cstdint>
#include <vector>

#include "gateway/core/gateway.h"

namespace gateway {

inline constexpr uint32_t kDiagEdgeBase = 20;
inline constexpr uint32_t kDiagLineBase = 100, kDiagLineSize = 32;
inline constexpr uint32_t kDiagUnitBase = 1000, kDiagUnitSize = 32;
inline constexpr uint32_t kDiagClientBase = 10000, kDiagClientSize = 16, kDiagClients = 64;

std::vector<uint16_t> DiagnosticRegisters(const Gateway& gateway, Clock::time_point now);

}  // namespace gateway
