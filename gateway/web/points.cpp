#include "gateway/web/points.h"

#include <cstdio>
#include <limits>
#include <shared_mutex>

#include "gateway/report/stats.h"

namespace gateway::web {

std::string StatusWords(int32_t status) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(status) & 0xFFFF);
  switch (status) {
    case ZOR_OK:
      return "ok";
    case ZOR_LINE_FAILURE:
      return "no reply (status 2)";
    case ZOR_REPLY_INVALID:
      return "invalid reply (status 65535)";
    case ZOR_REFUSED:
      return "refused (status 1)";
    case kNoStatusYet:
      return "no transaction yet";
    default:
      return std::string("primitive error ") + hex + " (status " + std::to_string(status) + ")";
  }
}

std::vector<PointView> ReadUnitPoints(const Gateway& g, size_t u, Clock::time_point now) {
  std::vector<PointView> points;
  const Unit& unit = g.Cfg().units[u];
  const Line& line = g.LineAt(unit.line);
  const std::vector<std::vector<Ref>>& refs = g.CurrentPlan().refs[u];
  const int32_t last =
      line.Counters().stations[static_cast<size_t>(unit.station)].lastStatus.load();
  char station[8];
  std::snprintf(station, sizeof station, "%02X", unit.station);
  std::string failed = "station " + std::string(station) + " on line " + line.Config().name;
  if (line.CurrentPhase() != Phase::Running) {
    failed = "line " + line.Config().name + " is " + PhaseName(line.CurrentPhase());
  } else {
    failed += ": " + StatusWords(last);
  }
  std::shared_lock<std::shared_mutex> lock(line.CacheMutex());
  const std::vector<BlockState>& cache = line.Cache();
  for (size_t t = 0; t < unit.tables.size(); ++t) {
    const Table& table = unit.tables[t];
    for (uint32_t k = 0; k < table.count; ++k) {
      PointView p;
      p.kind = table.kind;
      p.address = table.address + k;
      p.point = PointText(unit.station, table.Memory(), table.ElementOf(k), table.BitOf(k));
      const Ref ref = refs[t][table.ElementOf(k) - table.FirstElement()];
      if (ref.block >= cache.size()) {
        p.quality = "never read";
        p.reason = "not in the plan";
        points.push_back(std::move(p));
        continue;
      }
      const BlockState& state = cache[ref.block];
      if (state.everRead && state.goodAt != Clock::time_point{}) {
        p.ageMs = Ms(now - state.goodAt);
        const uint16_t word = state.values[ref.offset];
        const int bit = table.BitOf(k);
        p.value = bit >= 0 ? static_cast<uint16_t>((word >> bit) & 1) : word;
      }
      // The rule Modbus reads keep: a failed last read, or one too old, is not good.
      if (!state.everRead) {
        p.quality = "never read";
        p.reason = line.CurrentPhase() == Phase::Running ? failed + ", not read yet" : failed;
      } else if (!state.good) {
        p.quality = "last poll failed";
        p.reason = failed;
      } else if (now - state.goodAt > std::chrono::milliseconds(table.maxAgeMs)) {
        p.quality = "too old";
        p.reason = "last good read " + std::to_string(p.ageMs) + " ms ago, max_age_ms " +
                   std::to_string(table.maxAgeMs);
      } else {
        p.good = true;
        p.quality = "good";
      }
      points.push_back(std::move(p));
    }
  }
  return points;
}

}  // namespace gateway::web
