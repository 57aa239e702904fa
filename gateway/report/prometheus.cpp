#include "gateway/report/prometheus.h"

#include <algorithm>
#include <limits>
#include <sstream>
#include <utility>

namespace gateway {

namespace {

// A label value in the text format: backslash, quote and newline escaped.
std::string Label(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (ch == '\\' || ch == '"') out += '\\';
    if (ch == '\n') {
      out += "\\n";
      continue;
    }
    out += ch;
  }
  return out;
}

// One metric family: its help, its type and its samples.
class Family {
 public:
  Family(std::ostringstream& out, const char* name, const char* type, const char* help)
      : out_(out), name_(name) {
    out_ << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
  }
  void Add(const std::string& labels, double value) {
    out_ << name_ << (labels.empty() ? "" : "{" + labels + "}") << " ";
    if (value == std::numeric_limits<double>::infinity()) {
      out_ << "+Inf";
    } else {
      out_ << value;
    }
    out_ << "\n";
  }

 private:
  std::ostringstream& out_;
  const char* name_;
};

double Seconds(uint32_t ms) {
  return ms == std::numeric_limits<uint32_t>::max() ? std::numeric_limits<double>::infinity()
                                                    : ms / 1000.0;
}

}  // namespace

std::string MetricsText(const Gateway& g, Clock::time_point now) {
  std::ostringstream out;
  out.precision(15);
  Family(out, "tiway_gateway_info", "gauge", "The gateway's version.")
      .Add("version=\"" + Label(ZORTW_VERSION) + "\"", 1);
  Family(out, "tiway_gateway_uptime_seconds", "gauge", "Seconds since the gateway started.")
      .Add("", std::chrono::duration<double>(now - g.Started()).count());
  Family(out, "tiway_gateway_connections", "gauge", "Modbus connections open.")
      .Add("", std::max(0, g.OpenClients()));
  Family(out, "tiway_gateway_connections_refused_total", "counter",
         "Modbus connections refused (no rule, no slot, no descriptor).")
      .Add("", static_cast<double>(g.RefusedClients()));
  Family(out, "tiway_gateway_connections_closed_total", "counter",
         "Modbus connections the gateway closed.")
      .Add("", static_cast<double>(g.ClosedClients()));

  const auto lineLabel = [&](size_t l) {
    return "line=\"" + Label(g.LineAt(l).Config().name) + "\"";
  };
  {
    Family up(out, "tiway_gateway_line_up", "gauge", "1 while the line runs, 0 otherwise.");
    for (size_t l = 0; l < g.LineCount(); ++l) {
      up.Add(lineLabel(l), g.LineAt(l).CurrentPhase() == Phase::Running ? 1 : 0);
    }
  }
  {
    Family phase(out, "tiway_gateway_line_phase", "gauge",
                 "0 starting, 1 configuring the adapter, 2 running, 3 down, 4 stopped, 5 "
                 "configuring failed.");
    for (size_t l = 0; l < g.LineCount(); ++l) {
      phase.Add(lineLabel(l), static_cast<int>(g.LineAt(l).CurrentPhase()));
    }
  }
  {
    Family f(out, "tiway_gateway_line_transactions_total", "counter", "Driver block commands.");
    for (size_t l = 0; l < g.LineCount(); ++l) {
      f.Add(lineLabel(l), static_cast<double>(g.LineAt(l).Counters().transactions.Get()));
    }
  }
  {
    Family f(out, "tiway_gateway_line_failures_total", "counter",
             "Failed transactions by status: 2 (no reply), 65535 (invalid reply), primitive, 1.");
    for (size_t l = 0; l < g.LineCount(); ++l) {
      const LineCounters& c = g.LineAt(l).Counters();
      f.Add(lineLabel(l) + ",status=\"2\"", static_cast<double>(c.failLine.Get()));
      f.Add(lineLabel(l) + ",status=\"65535\"", static_cast<double>(c.failInvalid.Get()));
      f.Add(lineLabel(l) + ",status=\"primitive\"", static_cast<double>(c.failPrimitive.Get()));
      f.Add(lineLabel(l) + ",status=\"1\"", static_cast<double>(c.failRefused.Get()));
    }
  }
  {
    Family f(out, "tiway_gateway_line_reopens_total", "counter",
             "Times the line went down and its port was opened again.");
    for (size_t l = 0; l < g.LineCount(); ++l) {
      f.Add(lineLabel(l), static_cast<double>(g.LineAt(l).Counters().downs.Get()));
    }
  }
  {
    Family f(out, "tiway_gateway_line_writes_total", "counter", "Writes carried out.");
    for (size_t l = 0; l < g.LineCount(); ++l) {
      f.Add(lineLabel(l), static_cast<double>(g.LineAt(l).Counters().writes.Get()));
    }
  }
  {
    Family f(out, "tiway_gateway_line_cache_age_seconds", "gauge",
             "Age of the oldest good read of the line (+Inf: a block never read well).");
    for (size_t l = 0; l < g.LineCount(); ++l) f.Add(lineLabel(l), Seconds(g.LineCacheAge(l, now)));
  }
  const auto unitLabel = [&](size_t u) {
    return "unit=\"" + std::to_string(g.Cfg().units[u].id) + "\",line=\"" +
           Label(g.Cfg().lines[g.Cfg().units[u].line].name) + "\"";
  };
  {
    Family f(out, "tiway_gateway_unit_requests_total", "counter", "Modbus requests to the unit.");
    for (size_t u = 0; u < g.Cfg().units.size(); ++u) {
      f.Add(unitLabel(u), static_cast<double>(g.UnitCountersAt(u).requests.Get()));
    }
  }
  {
    Family f(out, "tiway_gateway_unit_exceptions_total", "counter",
             "Modbus exceptions the unit answered.");
    for (size_t u = 0; u < g.Cfg().units.size(); ++u) {
      f.Add(unitLabel(u), static_cast<double>(g.UnitCountersAt(u).exceptions.Get()));
    }
  }
  {
    Family f(out, "tiway_gateway_unit_cache_age_seconds", "gauge",
             "Age of the oldest good read the unit serves (+Inf: never read well).");
    for (size_t u = 0; u < g.Cfg().units.size(); ++u)
      f.Add(unitLabel(u), Seconds(g.UnitCacheAge(u, now)));
  }
  const std::vector<const ClientCounters*> clients = g.Clients();
  const std::pair<const char*, Counter ClientCounters::*> kClient[] = {
      {"connections", &ClientCounters::connections},
      {"requests", &ClientCounters::requests},
      {"writes", &ClientCounters::writes},
      {"write_failures", &ClientCounters::writeFailures},
      {"refusals", &ClientCounters::refusals}};
  for (const auto& [name, member] : kClient) {
    const std::string family = std::string("tiway_gateway_client_") + name + "_total";
    const std::string help = std::string("Per client address: ") + name + ".";
    Family f(out, family.c_str(), "counter", help.c_str());
    for (const ClientCounters* c : clients) {
      f.Add("client=\"" + Label(c->address) + "\"", static_cast<double>(((*c).*member).Get()));
    }
  }
  // The MQTT edge node, when the configuration has [mqtt].
  const EdgeState edge = g.Edge();
  if (!edge.enabled) return out.str();
  Family(out, "tiway_gateway_mqtt_session_up", "gauge",
         "1 while an MQTT session is up (CONNACK received), 0 otherwise.")
      .Add("broker=\"" + Label(edge.broker) + "\"", edge.sessionUp ? 1 : 0);
  Family(out, "tiway_gateway_mqtt_bdseq", "gauge", "The bdSeq of the current or last session.")
      .Add("", static_cast<double>(edge.bdSeq));
  if (!edge.primaryHost.empty()) {
    Family(out, "tiway_gateway_mqtt_primary_host_online", "gauge",
           "1 while the primary host's STATE says online.")
        .Add("host=\"" + Label(edge.primaryHost) + "\"", edge.hostOnline ? 1 : 0);
  }
  Family(out, "tiway_gateway_mqtt_store_depth", "gauge",
         "Changes waiting in the store for a session.")
      .Add("", static_cast<double>(edge.storeDepth));
  const std::pair<const char*, uint64_t EdgeState::*> kEdge[] = {
      {"connects", &EdgeState::connects},
      {"connect_failures", &EdgeState::connectFailures},
      {"sessions_lost", &EdgeState::sessionsLost},
      {"published", &EdgeState::published},
      {"stored", &EdgeState::stored},
      {"replayed", &EdgeState::replayed},
      {"dropped", &EdgeState::dropped},
      {"commands", &EdgeState::commands},
      {"command_writes", &EdgeState::writes},
      {"commands_refused", &EdgeState::refusedCommands}};
  for (const auto& [name, member] : kEdge) {
    const std::string family = std::string("tiway_gateway_mqtt_") + name + "_total";
    const std::string help = std::string("MQTT edge node: ") + name + ".";
    Family(out, family.c_str(), "counter", help.c_str()).Add("", static_cast<double>(edge.*member));
  }
  return out.str();
}

}  // namespace gateway
