// The diagnostics unit: the counters as input and holding registers. Words
// 0 to 9 the gateway (layout version, lines, units, uptime, connections);
// then 32 words per line from kDiagLineBase, 32 per unit from kDiagUnitBase,
// and 16 per client address from kDiagClientBase. 32-bit values high word
// first, saturated.
#pragma once

#include <cstdint>
#include <vector>

#include "gateway/core/gateway.h"

namespace gateway {

inline constexpr uint32_t kDiagLineBase = 100, kDiagLineSize = 32;
inline constexpr uint32_t kDiagUnitBase = 1000, kDiagUnitSize = 32;
inline constexpr uint32_t kDiagClientBase = 10000, kDiagClientSize = 16, kDiagClients = 64;

std::vector<uint16_t> DiagnosticRegisters(const Gateway& gateway, Clock::time_point now);

}  // namespace gateway
