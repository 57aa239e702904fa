// The status page's data as JSON (GET /api/status, /api/unit/ID): the
// overview, a unit's points with their quality and recent trend, and the
// last audit lines. Everything here runs on the event loop, but the audit
// ring, which the log fills from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/core/gateway.h"

namespace gateway::web {

// The last audit lines of the log (kept while a page is served).
class AuditRing {
 public:
  static constexpr size_t kLines = 50;
  static void Attach();  // taps the log
  static void Detach();
  static std::vector<std::string> Lines();
};

class StatusView {
 public:
  // Trend samples: one a second, the last kSamples of each point.
  static constexpr size_t kSamples = 300;

  // Samples every unit's points into its trend (once a second).
  void Sample(const Gateway& gateway, Clock::time_point now);
  std::string StatusJson(const Gateway& gateway, Clock::time_point now) const;
  // "" when no unit has that id.
  std::string UnitJson(const Gateway& gateway, int unitId, Clock::time_point now) const;

 private:
  struct Trend {
    std::deque<int64_t> at;                  // ms since the epoch of the samples
    std::vector<std::deque<double>> values;  // per point; NaN (null in JSON): not good
  };
  std::map<int, Trend> trends_;  // by unit id
};

}  // namespace gateway::web
