#include "gateway/report/diagnostics.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace gateway {

namespace {

void Put32(std::vector<uint16_t>& regs, uint32_t at, uint64_t value) {
  const uint32_t v = static_cast<uint32_t>(std::min<uint64_t>(value, 0xFFFFFFFFu));
  regs[at] = static_cast<uint16_t>(v >> 16);
  regs[at + 1] = static_cast<uint16_t>(v & 0xFFFF);
}

}  // namespace

std::vector<uint16_t> DiagnosticRegisters(const Gateway& g, Clock::time_point now) {
  const std::vector<const ClientCounters*> list = g.Clients();
  const size_t clients = std::min<size_t>(list.size(), kDiagClients);
  std::vector<uint16_t> regs(clients > 0 ? kDiagClientBase + kDiagClientSize * clients
                                         : kDiagUnitBase + kDiagUnitSize * g.Cfg().units.size(),
                             0);
  regs[0] = 1;  // layout version
  regs[1] = static_cast<uint16_t>(g.LineCount());
  regs[2] = static_cast<uint16_t>(g.Cfg().units.size());
  Put32(regs, 3, static_cast<uint64_t>(Ms(now - g.Started()) / 1000));
  regs[5] = static_cast<uint16_t>(std::max(0, g.OpenClients()));
  Put32(regs, 6, g.RefusedClients());
  Put32(regs, 8, g.ClosedClients());
  if (const EdgeState edge = g.Edge(); edge.enabled) {
    regs[kDiagEdgeBase + 0] = 1;
    regs[kDiagEdgeBase + 1] = edge.sessionUp ? 1 : 0;
    regs[kDiagEdgeBase + 2] = edge.hostOnline ? 1 : 0;
    const uint64_t EdgeState::*kWords[] = {
        &EdgeState::connects,   &EdgeState::connectFailures, &EdgeState::published,
        &EdgeState::stored,     &EdgeState::replayed,        &EdgeState::dropped,
        &EdgeState::storeDepth, &EdgeState::refusedCommands, &EdgeState::bdSeq};
    uint32_t at = kDiagEdgeBase + 3;
    for (const auto member : kWords) {
      Put32(regs, at, edge.*member);
      at += 2;
    }
  }
  for (size_t l = 0; l < g.LineCount() && kDiagLineBase + kDiagLineSize * (l + 1) <= kDiagUnitBase;
       ++l) {
    const Line& line = g.LineAt(l);
    const LineCounters& c = line.Counters();
    const uint32_t b = kDiagLineBase + kDiagLineSize * static_cast<uint32_t>(l);
    Put32(regs, b + 0, c.transactions.Get());
    Put32(regs, b + 2, c.failures.Get());
    Put32(regs, b + 4, c.failLine.Get());
    Put32(regs, b + 6, c.failInvalid.Get());
    Put32(regs, b + 8, c.failPrimitive.Get());
    Put32(regs, b + 10, c.failRefused.Get());
    Put32(regs, b + 12, c.retries.Get());
    regs[b + 14] = static_cast<uint16_t>(c.lastStatus.load() & 0xFFFF);
    regs[b + 15] = c.lastStatus.load() == kNoStatusYet ? 0 : 1;
    Put32(regs, b + 16, c.cycleMs.load());
    Put32(regs, b + 18, static_cast<uint64_t>(line.FloorMs() + 0.5));
    Put32(regs, b + 20, g.LineCacheAge(l, now));
    regs[b + 22] = static_cast<uint16_t>(line.CurrentPhase());
    Put32(regs, b + 23, c.writes.Get());
    Put32(regs, b + 25, c.writeFailures.Get());
    Put32(regs, b + 27, c.cycles.load());
    Put32(regs, b + 29, c.writesNotDone.Get());
    regs[b + 31] = static_cast<uint16_t>(std::min<uint64_t>(c.downs.Get(), 0xFFFF));
  }
  for (size_t u = 0; u < g.Cfg().units.size(); ++u) {
    const Unit& unit = g.Cfg().units[u];
    const StationCounters& s =
        g.LineAt(unit.line).Counters().stations[static_cast<size_t>(unit.station)];
    const uint32_t b = kDiagUnitBase + kDiagUnitSize * static_cast<uint32_t>(u);
    regs[b + 0] = static_cast<uint16_t>(unit.id);
    regs[b + 1] = static_cast<uint16_t>(unit.station);
    regs[b + 2] = static_cast<uint16_t>(unit.line);
    Put32(regs, b + 3, s.transactions.Get());
    Put32(regs, b + 5, s.failures.Get());
    regs[b + 7] = static_cast<uint16_t>(s.lastStatus.load() & 0xFFFF);
    Put32(regs, b + 8, g.UnitCacheAge(u, now));
    Put32(regs, b + 10, g.UnitCountersAt(u).requests.Get());
    Put32(regs, b + 12, g.UnitCountersAt(u).exceptions.Get());
    Put32(regs, b + 14, s.failLine.Get());
    Put32(regs, b + 16, s.failInvalid.Get());
    Put32(regs, b + 18, s.failPrimitive.Get());
    Put32(regs, b + 20, s.failRefused.Get());
    Put32(regs, b + 22, s.retries.Get());
    Put32(regs, b + 24, g.UnitPollCycle(u));
  }
  // Clients in the order first seen: the address as IPv6 (IPv4 mapped), then counters.
  for (size_t i = 0; i < clients; ++i) {
    const ClientCounters& c = *list[i];
    const uint32_t b = kDiagClientBase + kDiagClientSize * static_cast<uint32_t>(i);
    uint8_t bytes[16] = {};
    in_addr v4{};
    if (inet_pton(AF_INET, c.address.c_str(), &v4) == 1) {
      bytes[10] = bytes[11] = 0xFF;
      std::memcpy(bytes + 12, &v4, 4);
    } else {
      inet_pton(AF_INET6, c.address.c_str(), bytes);  // "other" stays ::
    }
    for (uint32_t w = 0; w < 8; ++w) {
      regs[b + w] = static_cast<uint16_t>((bytes[2 * w] << 8) | bytes[2 * w + 1]);
    }
    Put32(regs, b + 8, c.requests.Get());
    Put32(regs, b + 10, c.writes.Get());
    Put32(regs, b + 12, c.writeFailures.Get());
    Put32(regs, b + 14, c.refusals.Get());
  }
  return regs;
}

}  // namespace gateway
