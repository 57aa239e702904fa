#include "gateway/report/stats.h"

#include <cstdio>
#include <limits>
#include <sstream>

namespace gateway {

namespace {

// A status as the stats line gives it: a primitive error code in hex too.
std::string LastStatusText(int32_t status) {
  std::string text = std::to_string(status);
  if (status > ZOR_LINE_FAILURE && status < ZOR_REPLY_INVALID) {
    char hex[32];
    std::snprintf(hex, sizeof hex, " (primitive error %04X)", static_cast<unsigned>(status));
    text += hex;
  }
  return text;
}

std::string AgeText(uint32_t ms) {
  return ms == std::numeric_limits<uint32_t>::max() ? "never read" : std::to_string(ms) + " ms";
}

}  // namespace

std::string StatsText(const Gateway& g, Clock::time_point now) {
  std::ostringstream out;
  for (size_t l = 0; l < g.LineCount(); ++l) {
    const Line& line = g.LineAt(l);
    const LineCounters& c = line.Counters();
    char text[512];
    std::snprintf(text, sizeof text,
                  "stats line %s: %s, transactions %llu, failures %llu (line 2: %llu, invalid "
                  "65535: %llu, primitive: %llu, refused 1: %llu), retries seen %llu, writes %llu "
                  "(failed %llu, not carried out %llu), down %llu times, last status %s, poll "
                  "cycle %u ms (floor %.0f ms), cache age %s",
                  line.Config().name.c_str(), PhaseName(line.CurrentPhase()),
                  static_cast<unsigned long long>(c.transactions.Get()),
                  static_cast<unsigned long long>(c.failures.Get()),
                  static_cast<unsigned long long>(c.failLine.Get()),
                  static_cast<unsigned long long>(c.failInvalid.Get()),
                  static_cast<unsigned long long>(c.failPrimitive.Get()),
                  static_cast<unsigned long long>(c.failRefused.Get()),
                  static_cast<unsigned long long>(c.retries.Get()),
                  static_cast<unsigned long long>(c.writes.Get()),
                  static_cast<unsigned long long>(c.writeFailures.Get()),
                  static_cast<unsigned long long>(c.writesNotDone.Get()),
                  static_cast<unsigned long long>(c.downs.Get()),
                  LastStatusText(c.lastStatus.load()).c_str(), c.cycleMs.load(), line.FloorMs(),
                  AgeText(g.LineCacheAge(l, now)).c_str());
    out << text << "\n";
  }
  for (size_t u = 0; u < g.Cfg().units.size(); ++u) {
    const Unit& unit = g.Cfg().units[u];
    const StationCounters& s =
        g.LineAt(unit.line).Counters().stations[static_cast<size_t>(unit.station)];
    char text[512];
    std::snprintf(
        text, sizeof text,
        "stats unit %d (line %s, station %02X): transactions %llu, failures %llu (line 2: "
        "%llu, invalid 65535: %llu, primitive: %llu, refused 1: %llu), retries seen %llu, "
        "last status %s, poll cycle %u ms, cache age %s, Modbus requests %llu, "
        "exceptions %llu",
        unit.id, g.Cfg().lines[unit.line].name.c_str(), unit.station,
        static_cast<unsigned long long>(s.transactions.Get()),
        static_cast<unsigned long long>(s.failures.Get()),
        static_cast<unsigned long long>(s.failLine.Get()),
        static_cast<unsigned long long>(s.failInvalid.Get()),
        static_cast<unsigned long long>(s.failPrimitive.Get()),
        static_cast<unsigned long long>(s.failRefused.Get()),
        static_cast<unsigned long long>(s.retries.Get()),
        LastStatusText(s.lastStatus.load()).c_str(), g.UnitPollCycle(u),
        AgeText(g.UnitCacheAge(u, now)).c_str(),
        static_cast<unsigned long long>(g.UnitCountersAt(u).requests.Get()),
        static_cast<unsigned long long>(g.UnitCountersAt(u).exceptions.Get()));
    out << text << "\n";
  }
  for (const ClientCounters* c : g.Clients()) {
    out << "stats client " << c->address << ": connections " << c->connections.Get()
        << ", requests " << c->requests.Get() << ", writes " << c->writes.Get() << " (failed "
        << c->writeFailures.Get() << "), refusals " << c->refusals.Get() << "\n";
  }
  return out.str();
}

std::string Progress(const Gateway& g, Clock::time_point now) {
  std::string text;
  for (size_t l = 0; l < g.LineCount(); ++l) {
    const Line* line = &g.LineAt(l);
    const Phase phase = line->CurrentPhase();
    if (phase != Phase::Configuring && phase != Phase::Starting) continue;
    text += (text.empty() ? "" : "; ") + std::string("line ") + line->Config().name + " (" +
            line->Config().port +
            "): " + (phase == Phase::Configuring ? "configuring the adapter" : PhaseName(phase)) +
            ", " + std::to_string(Ms(now - line->PhaseSince()) / 1000) + " s (about 10 s)";
  }
  return text;
}

}  // namespace gateway
