#include "gateway/web/view.h"

#include <limits>
#include <nlohmann/json.hpp>

#include "gateway/core/line.h"
#include "gateway/web/points.h"

namespace gateway::web {

namespace {

using nlohmann::json;

std::mutex auditMutex;
std::deque<std::string> auditLines;

void Tap(const std::string& stamped) {
  if (stamped.find(" audit: ") == std::string::npos) return;
  std::lock_guard<std::mutex> lock(auditMutex);
  auditLines.push_back(stamped);
  if (auditLines.size() > AuditRing::kLines) auditLines.pop_front();
}

int64_t EpochMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

json Age(uint32_t ms) {
  return ms == UINT32_MAX ? json(nullptr) : json(ms);
}

std::string Hex2(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

}  // namespace

void AuditRing::Attach() {
  SetLogTap(&Tap);
}

void AuditRing::Detach() {
  SetLogTap(nullptr);
}

std::vector<std::string> AuditRing::Lines() {
  std::lock_guard<std::mutex> lock(auditMutex);
  return {auditLines.begin(), auditLines.end()};
}

void StatusView::Sample(const Gateway& g, Clock::time_point now) {
  std::map<int, Trend> next;
  const int64_t at = EpochMs();
  for (size_t u = 0; u < g.Cfg().units.size(); ++u) {
    const std::vector<PointView> points = ReadUnitPoints(g, u, now);
    const int id = g.Cfg().units[u].id;
    Trend& trend = next[id];
    if (auto old = trends_.find(id);
        old != trends_.end() && old->second.values.size() == points.size()) {
      trend = std::move(old->second);  // the same shape: the trend goes on
    } else {
      trend.values.assign(points.size(), {});
    }
    trend.at.push_back(at);
    if (trend.at.size() > kSamples) trend.at.pop_front();
    for (size_t i = 0; i < points.size(); ++i) {
      trend.values[i].push_back(points[i].good ? points[i].value
                                               : std::numeric_limits<double>::quiet_NaN());
      if (trend.values[i].size() > kSamples) trend.values[i].pop_front();
    }
  }
  trends_ = std::move(next);
}

std::string StatusView::StatusJson(const Gateway& g, Clock::time_point now) const {
  json out;
  out["version"] = ZORTW_VERSION;
  out["uptime_s"] = std::chrono::duration_cast<std::chrono::seconds>(now - g.Started()).count();
  out["lines"] = json::array();
  for (size_t l = 0; l < g.LineCount(); ++l) {
    const Line& line = g.LineAt(l);
    const LineCounters& c = line.Counters();
    const int32_t last = c.lastStatus.load();
    out["lines"].push_back({{"name", line.Config().name},
                            {"port", line.Config().port},
                            {"state", PhaseName(line.CurrentPhase())},
                            {"running", line.CurrentPhase() == Phase::Running},
                            {"cycle_ms", c.cycleMs.load()},
                            {"floor_ms", static_cast<uint64_t>(line.FloorMs() + 0.5)},
                            {"transactions", c.transactions.Get()},
                            {"failures", c.failures.Get()},
                            {"last_status", StatusWords(last)},
                            {"cache_age_ms", Age(g.LineCacheAge(l, now))}});
  }
  out["devices"] = json::array();
  for (size_t u = 0; u < g.Cfg().units.size(); ++u) {
    const Unit& unit = g.Cfg().units[u];
    const std::vector<PointView> points = ReadUnitPoints(g, u, now);
    size_t good = 0;
    std::string reason;
    for (const PointView& p : points) {
      if (p.good) {
        ++good;
      } else if (reason.empty()) {
        reason = p.quality + ": " + p.reason;
      }
    }
    const char* state = good == points.size() ? "good" : good == 0 ? "dead" : "degraded";
    out["devices"].push_back({{"unit", unit.id},
                              {"name", unit.name},
                              {"line", g.Cfg().lines[unit.line].name},
                              {"station", Hex2(unit.station)},
                              {"state", state},
                              {"reason", reason},
                              {"points", points.size()},
                              {"good_points", good},
                              {"requests", g.UnitCountersAt(u).requests.Get()},
                              {"exceptions", g.UnitCountersAt(u).exceptions.Get()}});
  }
  out["modbus"] = {{"open", g.OpenClients()},
                   {"refused", g.RefusedClients()},
                   {"closed", g.ClosedClients()},
                   {"clients", json::array()}};
  for (const ClientCounters* c : g.Clients()) {
    out["modbus"]["clients"].push_back({{"address", c->address},
                                        {"connections", c->connections.Get()},
                                        {"requests", c->requests.Get()},
                                        {"writes", c->writes.Get()},
                                        {"write_failures", c->writeFailures.Get()},
                                        {"refusals", c->refusals.Get()}});
  }
  const EdgeState edge = g.Edge();
  out["mqtt"] = nullptr;
  if (edge.enabled) {
    out["mqtt"] = {{"session_up", edge.sessionUp},
                   {"broker", edge.broker},
                   {"bdseq", edge.bdSeq},
                   {"primary_host", edge.primaryHost},
                   {"host_online", edge.hostOnline},
                   {"store_depth", edge.storeDepth},
                   {"published", edge.published},
                   {"stored", edge.stored},
                   {"replayed", edge.replayed},
                   {"dropped", edge.dropped},
                   {"connects", edge.connects},
                   {"connect_failures", edge.connectFailures},
                   {"commands_refused", edge.refusedCommands}};
  }
  out["audit"] = AuditRing::Lines();
  return out.dump();
}

std::string StatusView::UnitJson(const Gateway& g, int unitId, Clock::time_point now) const {
  for (size_t u = 0; u < g.Cfg().units.size(); ++u) {
    const Unit& unit = g.Cfg().units[u];
    if (unit.id != unitId) continue;
    json out = {{"unit", unit.id},
                {"name", unit.name},
                {"line", g.Cfg().lines[unit.line].name},
                {"station", Hex2(unit.station)},
                {"points", json::array()}};
    const auto trend = trends_.find(unit.id);
    const std::vector<PointView> points = ReadUnitPoints(g, u, now);
    if (trend != trends_.end()) out["trend_at"] = trend->second.at;
    for (size_t i = 0; i < points.size(); ++i) {
      const PointView& p = points[i];
      json point = {{"table", p.tag.empty() ? json(KindName(p.kind)) : json("tag")},
                    {"address", p.tag.empty() ? json(p.address) : json(p.tag)},
                    {"units", p.units},
                    {"point", p.point},
                    {"value", p.ageMs == UINT32_MAX ? json(nullptr)
                              : p.tag.empty()       ? json(static_cast<int64_t>(p.value))
                                                    : json(p.value)},
                    {"good", p.good},
                    {"quality", p.quality},
                    {"reason", p.reason},
                    {"age_ms", Age(p.ageMs)}};
      if (trend != trends_.end() && i < trend->second.values.size()) {
        point["trend"] = trend->second.values[i];
      }
      out["points"].push_back(std::move(point));
    }
    return out.dump();
  }
  return "";
}

}  // namespace gateway::web
