// What reaches the edge node from the other side: NCMD (rebirth, next
// server) and DCMD writes, checked against the model and the write rules,
// and the primary host's STATE, which holds the births (and the data, which
// is stored meanwhile) until the host is online.
#include <cmath>
#include <cstring>

#include "gateway/mqtt/mq_node.h"
#include "sparkplug_b.pb.h"

namespace mqtt {

namespace pb = tiway::sparkplug;

bool ParseHostState(const std::string& payload, bool& online, uint64_t& timestamp) {
  // A flat JSON object: find the two keys and read their values.
  const auto valueAfter = [&](const char* key) -> size_t {
    const std::string quoted = std::string("\"") + key + "\"";
    size_t at = payload.find(quoted);
    if (at == std::string::npos) return std::string::npos;
    at = payload.find_first_not_of(" \t\r\n", at + quoted.size());
    if (at == std::string::npos || payload[at] != ':') return std::string::npos;
    return payload.find_first_not_of(" \t\r\n", at + 1);
  };
  const size_t first = payload.find_first_not_of(" \t\r\n");
  if (first == std::string::npos || payload[first] != '{') return false;
  const size_t o = valueAfter("online");
  if (o == std::string::npos) return false;
  if (payload.compare(o, 4, "true") == 0) {
    online = true;
  } else if (payload.compare(o, 5, "false") == 0) {
    online = false;
  } else {
    return false;
  }
  const size_t t = valueAfter("timestamp");
  timestamp = 0;
  if (t != std::string::npos) {
    size_t i = t;
    while (i < payload.size() && payload[i] >= '0' && payload[i] <= '9') {
      timestamp = timestamp * 10 + static_cast<uint64_t>(payload[i] - '0');
      ++i;
    }
    if (i == t) return false;
  }
  return true;
}

void EdgeNode::HostState(const std::string& payload, uint64_t nowMs) {
  bool online = false;
  uint64_t timestamp = 0;
  if (!ParseHostState(payload, online, timestamp)) return;
  // A STATE older than the last one seen is a late copy: ignored.
  if (timestamp != 0 && timestamp < hostTimestamp_) return;
  hostTimestamp_ = timestamp;
  const bool was = hostOnline_;
  hostOnline_ = online;
  if (online && !was && session_) Births(nowMs);
  if (!online && was) {
    born_ = false;  // changes are stored until the host is back
    for (DeviceState& d : devices_) d.born = false;
  }
}

EdgeNode::Command EdgeNode::OnCommand(const std::string& topic, const std::string& payload,
                                      std::vector<Write>& writes,
                                      std::vector<std::string>& refusals) {
  ++counters_.commands;
  Command command = Command::None;
  const size_t before = refusals.size();
  pb::Payload p;
  const std::string ncmd = Topic("NCMD"), dcmdPrefix = Topic("DCMD") + "/";
  if (!p.ParseFromString(payload)) {
    refusals.push_back(topic + ": not a Sparkplug B payload");
  } else if (topic == ncmd) {
    for (const pb::Payload::Metric& m : p.metrics()) {
      const bool rebirth = m.has_alias() ? m.alias() == kAliasRebirth : m.name() == kRebirth;
      const bool next = m.has_alias() ? m.alias() == kAliasNextServer : m.name() == kNextServer;
      if ((rebirth || next) && m.value_case() != pb::Payload::Metric::kBooleanValue) {
        refusals.push_back(topic + ": " + (rebirth ? kRebirth : kNextServer) + " takes a Boolean");
      } else if (rebirth) {
        if (m.boolean_value()) command = Command::Rebirth;
      } else if (next) {
        if (m.boolean_value() && command == Command::None) command = Command::NextServer;
      } else {
        refusals.push_back(
            topic + ": no node metric " +
            (m.has_alias() ? "with alias " + std::to_string(m.alias()) : "'" + m.name() + "'") +
            " takes commands");
      }
    }
  } else if (topic.rfind(dcmdPrefix, 0) == 0) {
    const std::string id = topic.substr(dcmdPrefix.size());
    size_t d = 0;
    while (d < model_.devices.size() && model_.devices[d].id != id) ++d;
    if (d == model_.devices.size()) {
      refusals.push_back(topic + ": no device '" + id + "'");
    } else {
      const DeviceDef& def = model_.devices[d];
      for (const pb::Payload::Metric& pm : p.metrics()) {
        size_t i = 0;
        while (i < def.metrics.size() && (pm.has_alias() ? def.metrics[i].alias != pm.alias()
                                                         : def.metrics[i].name != pm.name())) {
          ++i;
        }
        const std::string what = topic + ": " +
                                 (i < def.metrics.size() ? def.metrics[i].name
                                  : pm.has_alias()       ? "alias " + std::to_string(pm.alias())
                                                         : "'" + pm.name() + "'");
        if (i == def.metrics.size()) {
          refusals.push_back(what + ": no such metric");
          continue;
        }
        const MetricDef& m = def.metrics[i];
        if (!settings_.writes) {
          refusals.push_back(what + ": writes are off ([mqtt] writes = false)");
          continue;
        }
        if (!m.writable) {
          refusals.push_back(what + ": read only (its table is not writable)");
          continue;
        }
        // A datatype given must be the metric's (an Int32 is no UInt16).
        if (pm.has_datatype() && pm.datatype() != static_cast<uint32_t>(m.type)) {
          refusals.push_back(what + ": datatype " + std::to_string(pm.datatype()) +
                             " is not the metric's (" +
                             std::to_string(static_cast<uint32_t>(m.type)) + ")");
          continue;
        }
        uint64_t bits = 0;
        bool ok = false;
        const auto kind = pm.value_case();
        switch (m.type) {
          case DataType::UInt16:
            ok = kind == pb::Payload::Metric::kIntValue && pm.int_value() <= 0xFFFF;
            bits = pm.int_value();
            break;
          case DataType::Int16: {
            const int32_t v = static_cast<int32_t>(pm.int_value());
            ok = kind == pb::Payload::Metric::kIntValue && v >= -32768 && v <= 32767;
            bits = static_cast<uint16_t>(v);
            break;
          }
          case DataType::Float: {
            ok = kind == pb::Payload::Metric::kFloatValue && std::isfinite(pm.float_value());
            uint32_t word = 0;
            const float f = pm.float_value();
            std::memcpy(&word, &f, sizeof word);
            bits = word;
            break;
          }
          case DataType::Boolean:
            ok = kind == pb::Payload::Metric::kBooleanValue;
            bits = pm.boolean_value() ? 1 : 0;
            break;
          default:
            break;
        }
        if (!ok) {
          static const char* kExpected[] = {"",
                                            "",
                                            "an Int16 value (int_value)",
                                            "",
                                            "",
                                            "",
                                            "a UInt16 value (int_value, 0..65535)",
                                            "",
                                            "",
                                            "a finite Float value (float_value)",
                                            "",
                                            "a Boolean"};
          refusals.push_back(what + ": needs " + kExpected[static_cast<size_t>(m.type)]);
          continue;
        }
        writes.push_back(Write{d, i, bits});
        ++counters_.writes;
      }
    }
  } else {
    refusals.push_back(topic + ": not a command topic of this node");
  }
  counters_.refusals += refusals.size() - before;
  return command;
}

}  // namespace mqtt
