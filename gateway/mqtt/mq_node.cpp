#include "gateway/mqtt/mq_node.h"

#include <cmath>
#include <cstring>
#include <map>

#include "sparkplug_b.pb.h"

namespace mqtt {

namespace pb = tiway::sparkplug;

namespace {

constexpr const char* kNamespace = "spBv1.0";
// Stored changes go out in DDATA messages of at most this many metrics.
constexpr size_t kReplayBatch = 500;

float FloatOf(uint64_t bits) {
  const uint32_t word = static_cast<uint32_t>(bits);
  float value = 0;
  std::memcpy(&value, &word, sizeof value);
  return value;
}

void SetValue(pb::Payload::Metric& m, DataType type, uint64_t bits) {
  switch (type) {
    case DataType::UInt32:
    case DataType::Int32:  // two's complement in the 32-bit field
      m.set_int_value(static_cast<uint32_t>(bits));
      break;
    case DataType::Double:
      m.set_double_value(NumberOf(type, bits));
      break;
    case DataType::UInt16:
      m.set_int_value(static_cast<uint32_t>(bits & 0xFFFF));
      break;
    case DataType::Int16:  // two's complement in the 32-bit field
      m.set_int_value(static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(bits))));
      break;
    case DataType::Float:
      m.set_float_value(FloatOf(bits));
      break;
    case DataType::Boolean:
      m.set_boolean_value(bits != 0);
      break;
    case DataType::UInt64:
      m.set_long_value(bits);
      break;
    case DataType::String:
      break;
  }
}

pb::Payload::Metric* AddMetric(pb::Payload& p, const std::string* name, uint64_t alias,
                               DataType type, uint64_t timeMs) {
  pb::Payload::Metric* m = p.add_metrics();
  if (name != nullptr) m->set_name(*name);
  m->set_alias(alias);
  m->set_timestamp(timeMs);
  m->set_datatype(static_cast<uint32_t>(type));
  return m;
}

const char* kLineMetric[3] = {"State", "Transactions", "Failures"};

void AddQuality(pb::Payload::Metric& m, int32_t quality) {
  pb::Payload::PropertySet* set = m.mutable_properties();
  set->add_keys("Quality");
  pb::Payload::PropertyValue* v = set->add_values();
  v->set_type(static_cast<uint32_t>(DataType::Int32));
  v->set_int_value(static_cast<uint32_t>(quality));
}

// A tag's properties in its birth, named as host applications read them:
// engUnit, engLow, engHigh, Documentation, readOnly, and its Quality.
void AddTagProperties(pb::Payload::Metric& m, const gateway::Tag& tag, int32_t quality) {
  pb::Payload::PropertySet* set = m.mutable_properties();
  const auto add = [&](const char* key, DataType type) {
    set->add_keys(key);
    pb::Payload::PropertyValue* v = set->add_values();
    v->set_type(static_cast<uint32_t>(type));
    return v;
  };
  if (!tag.units.empty()) add("engUnit", DataType::String)->set_string_value(tag.units);
  if (tag.scaled) {
    add("engLow", DataType::Double)->set_double_value(tag.engLow);
    add("engHigh", DataType::Double)->set_double_value(tag.engHigh);
  }
  if (!tag.description.empty()) {
    add("Documentation", DataType::String)->set_string_value(tag.description);
  }
  add("readOnly", DataType::Boolean)->set_boolean_value(!tag.writable);
  AddQuality(m, quality);
}

}  // namespace

EdgeNode::EdgeNode(const Model& model, const Settings& settings, Store& store, Publisher& publisher)
    : model_(model), settings_(settings), store_(store), publisher_(publisher) {
  devices_.resize(model.devices.size());
  for (size_t d = 0; d < devices_.size(); ++d) {
    devices_[d].current.resize(model.devices[d].metrics.size());
    devices_[d].known.assign(model.devices[d].metrics.size(), 0);
    devices_[d].quality.assign(model.devices[d].metrics.size(), kQualityBad);
  }
  lines_.resize(model.lines.size());
  for (LineStatus& line : lines_) line.state = "starting";
  linesNow_ = lines_;
}

void EdgeNode::ModelChanged() {
  devices_.assign(model_.devices.size(), DeviceState{});
  for (size_t d = 0; d < devices_.size(); ++d) {
    devices_[d].current.resize(model_.devices[d].metrics.size());
    devices_[d].known.assign(model_.devices[d].metrics.size(), 0);
    devices_[d].quality.assign(model_.devices[d].metrics.size(), kQualityBad);
  }
  lines_.resize(model_.lines.size());
  linesNow_.resize(model_.lines.size());
}

std::string EdgeNode::Topic(const char* type, const std::string& device) const {
  std::string topic =
      std::string(kNamespace) + "/" + settings_.groupId + "/" + type + "/" + settings_.edgeNodeId;
  if (!device.empty()) topic += "/" + device;
  return topic;
}

std::string EdgeNode::DeathPayload(uint64_t bdSeq) const {
  pb::Payload p;
  const std::string name = "bdSeq";
  AddMetric(p, &name, kAliasBdSeq, DataType::UInt64, 0)->set_long_value(bdSeq);
  p.mutable_metrics(0)->clear_timestamp();
  return p.SerializeAsString();
}

bool EdgeNode::Send(const std::string& topic, std::string payload) {
  Message message{topic, std::move(payload), 0, false};
  if (!publisher_.Publish(message)) {
    SessionLost();
    return false;
  }
  ++counters_.published;
  return true;
}

void EdgeNode::SessionStarted(uint64_t bdSeq, uint64_t nowMs) {
  session_ = true;
  born_ = false;
  bdSeq_ = bdSeq;
  hostOnline_ = false;
  if (settings_.primaryHostId.empty()) Births(nowMs);
}

void EdgeNode::SessionLost() {
  session_ = false;
  born_ = false;
  for (DeviceState& d : devices_) d.born = false;
}

void EdgeNode::Births(uint64_t nowMs) {
  if (!session_) return;
  seq_ = 0;
  pb::Payload p;
  p.set_timestamp(nowMs);
  p.set_seq(NextSeq());
  const std::string bdSeq = "bdSeq", rebirth = kRebirth, next = kNextServer;
  AddMetric(p, &bdSeq, kAliasBdSeq, DataType::UInt64, nowMs)->set_long_value(bdSeq_);
  AddMetric(p, &rebirth, kAliasRebirth, DataType::Boolean, nowMs)->set_boolean_value(false);
  AddMetric(p, &next, kAliasNextServer, DataType::Boolean, nowMs)->set_boolean_value(false);
  lines_ = linesNow_;
  for (size_t l = 0; l < model_.lines.size(); ++l) {
    for (int which = 0; which < 3; ++which) {
      const std::string name = "Lines/" + model_.lines[l] + "/" + kLineMetric[which];
      const DataType type = which == 0 ? DataType::String : DataType::UInt64;
      pb::Payload::Metric* m = AddMetric(p, &name, model_.LineAlias(l, which), type, nowMs);
      if (which == 0) m->set_string_value(lines_[l].state);
      if (which == 1) m->set_long_value(lines_[l].transactions);
      if (which == 2) m->set_long_value(lines_[l].failures);
    }
  }
  for (DeviceState& d : devices_) d.born = false;
  if (!Send(Topic("NBIRTH"), p.SerializeAsString())) return;
  born_ = true;
  DropUndeliverable();
  // Each DBIRTH is followed by its device's stored changes.
  for (size_t d = 0; d < devices_.size() && born_; ++d) {
    if (devices_[d].alive) DeviceBirth(d, nowMs);
  }
}

void EdgeNode::Rebirth(uint64_t nowMs) {
  ++counters_.rebirths;
  if (session_ && (settings_.primaryHostId.empty() || hostOnline_)) Births(nowMs);
}

void EdgeNode::DeviceBirth(size_t d, uint64_t nowMs) {
  const DeviceDef& def = model_.devices[d];
  DeviceState& state = devices_[d];
  pb::Payload p;
  p.set_timestamp(nowMs);
  p.set_seq(NextSeq());
  for (size_t i = 0; i < def.metrics.size(); ++i) {
    const MetricDef& m = def.metrics[i];
    pb::Payload::Metric* pm = AddMetric(p, &m.name, m.alias, m.type, state.current[i].timeMs);
    SetValue(*pm, m.type, state.current[i].bits);
    if (m.isTag) {
      AddTagProperties(*pm, m.tag, state.current[i].quality);
      state.quality[i] = state.current[i].quality;
    }
    state.known[i] = state.current[i].bits;
  }
  if (!Send(Topic("DBIRTH", def.id), p.SerializeAsString())) return;
  state.born = true;
  Replay(d, nowMs);
}

void EdgeNode::DeviceDeath(size_t d, uint64_t nowMs) {
  pb::Payload p;
  p.set_timestamp(nowMs);
  p.set_seq(NextSeq());
  devices_[d].born = false;
  Send(Topic("DDEATH", model_.devices[d].id), p.SerializeAsString());
}

bool EdgeNode::Changed(const MetricDef& m, uint64_t known, uint64_t now) const {
  if (known == now) return false;
  if (m.type == DataType::Boolean || m.deadband <= 0) return true;
  const double a = NumberOf(m.type, known), b = NumberOf(m.type, now);
  if (std::isnan(a) || std::isnan(b)) return true;
  return std::fabs(b - a) >= m.deadband;
}

void EdgeNode::Sample(size_t d, const std::vector<Value>& values, bool lineUp, uint64_t nowMs) {
  const DeviceDef& def = model_.devices[d];
  if (def.tagged) return SampleTags(d, values, lineUp, nowMs);
  DeviceState& state = devices_[d];
  bool alive = lineUp && values.size() == def.metrics.size();
  for (size_t i = 0; alive && i < values.size(); ++i) alive = values[i].good;
  const bool first = !state.polled;
  if (alive) {
    state.current = values;
    state.polled = true;
  }
  state.alive = alive;
  if (Publishing()) {
    if (alive && !state.born) return DeviceBirth(d, nowMs);
    if (!alive && state.born) return DeviceDeath(d, nowMs);
  }
  if (!alive) return;
  if (first && !Publishing()) {
    // The first values seen: the DBIRTH will carry them.
    for (size_t i = 0; i < values.size(); ++i) state.known[i] = values[i].bits;
    return;
  }
  pb::Payload p;
  std::vector<StoredChange> changes;
  for (size_t i = 0; i < def.metrics.size(); ++i) {
    const MetricDef& m = def.metrics[i];
    if (!Changed(m, state.known[i], values[i].bits)) continue;
    state.known[i] = values[i].bits;
    SetValue(*AddMetric(p, nullptr, m.alias, m.type, values[i].timeMs), m.type, values[i].bits);
    changes.push_back(StoredChange{def.id, m.alias, static_cast<uint32_t>(m.type), values[i].bits,
                                   values[i].timeMs});
  }
  if (changes.empty()) return;
  PublishOrStore(def, p, changes, nowMs);
}

// A device of tags stays born while its line is up and any of its tags is
// good (the station answers); each tag's quality goes out with its value
// whenever it changes.
void EdgeNode::SampleTags(size_t d, const std::vector<Value>& values, bool lineUp, uint64_t nowMs) {
  const DeviceDef& def = model_.devices[d];
  DeviceState& state = devices_[d];
  bool alive = false;
  for (size_t i = 0; lineUp && i < values.size() && values.size() == def.metrics.size(); ++i) {
    alive = alive || values[i].good;
  }
  const bool first = !state.polled;
  if (alive) {
    for (size_t i = 0; i < values.size(); ++i) {
      // A tag that is not good keeps its last good value, with its quality.
      if (values[i].good || !state.polled) state.current[i] = values[i];
      state.current[i].quality = values[i].quality;
      state.current[i].good = values[i].good;
    }
    state.polled = true;
  }
  state.alive = alive;
  if (Publishing()) {
    if (alive && !state.born) return DeviceBirth(d, nowMs);
    if (!alive && state.born) return DeviceDeath(d, nowMs);
  }
  if (!alive) return;
  if (first && !Publishing()) {
    for (size_t i = 0; i < values.size(); ++i) {
      state.known[i] = state.current[i].bits;
      state.quality[i] = state.current[i].quality;
    }
    return;
  }
  pb::Payload p;
  std::vector<StoredChange> changes;
  for (size_t i = 0; i < def.metrics.size(); ++i) {
    const MetricDef& m = def.metrics[i];
    const Value& now = state.current[i];
    const bool qualityChanged = now.quality != state.quality[i];
    const bool valueChanged = now.good && Changed(m, state.known[i], now.bits);
    if (!qualityChanged && !valueChanged) continue;
    pb::Payload::Metric* pm = AddMetric(p, nullptr, m.alias, m.type, now.timeMs);
    SetValue(*pm, m.type, now.bits);
    if (qualityChanged) AddQuality(*pm, now.quality);
    state.quality[i] = now.quality;
    state.known[i] = now.bits;
    if (valueChanged) {
      changes.push_back(
          StoredChange{def.id, m.alias, static_cast<uint32_t>(m.type), now.bits, now.timeMs});
    }
  }
  if (p.metrics_size() == 0) return;
  PublishOrStore(def, p, changes, nowMs);
}

void EdgeNode::PublishOrStore(const DeviceDef& def, pb::Payload& p,
                              const std::vector<StoredChange>& changes, uint64_t nowMs) {
  if (Publishing()) {
    p.set_timestamp(nowMs);
    p.set_seq(NextSeq());
    if (Send(Topic("DDATA", def.id), p.SerializeAsString())) return;
  }
  if (changes.empty()) return;
  store_.Append(changes);
  counters_.stored += changes.size();
}

void EdgeNode::DropUndeliverable() {
  std::map<std::string, uint64_t> held = store_.Devices();
  for (const DeviceDef& def : model_.devices) held.erase(def.id);
  for (const auto& [device, count] : held) {
    store_.Remove(device, count);
    counters_.undeliverable += count;
    notes_.push_back(std::to_string(count) + " stored changes of device '" + device +
                     "' dropped: it is no longer in the configuration");
  }
}

void EdgeNode::Replay(size_t d, uint64_t nowMs) {
  // Stored changes of the device, after its DBIRTH (which carries the
  // current values) and before any newer change, oldest first.
  const DeviceDef& def = model_.devices[d];
  std::map<uint64_t, const MetricDef*> byAlias;
  for (const MetricDef& m : def.metrics) byAlias[m.alias] = &m;
  std::vector<StoredChange> batch;
  uint64_t lost = 0;
  while (Publishing() && devices_[d].born) {
    store_.Peek(def.id, kReplayBatch, batch);
    if (batch.empty()) break;
    pb::Payload p;
    uint64_t gone = 0;
    for (const StoredChange& c : batch) {
      const auto it = byAlias.find(c.alias);
      if (it == byAlias.end() || static_cast<uint32_t>(it->second->type) != c.datatype) {
        ++gone;  // its metric is gone, or is another now: the host could not place it
        continue;
      }
      pb::Payload::Metric* m =
          AddMetric(p, nullptr, c.alias, static_cast<DataType>(c.datatype), c.timeMs);
      m->set_is_historical(true);
      SetValue(*m, static_cast<DataType>(c.datatype), c.bits);
    }
    if (p.metrics_size() > 0) {
      p.set_timestamp(nowMs);
      p.set_seq(NextSeq());
      if (!Send(Topic("DDATA", def.id), p.SerializeAsString())) break;  // kept for the next
      counters_.replayed += static_cast<uint64_t>(p.metrics_size());
    }
    store_.Remove(def.id, batch.size());
    lost += gone;
  }
  if (lost > 0) {
    counters_.undeliverable += lost;
    notes_.push_back(std::to_string(lost) + " stored changes of device '" + def.id +
                     "' dropped: their metrics are no longer in the configuration");
  }
}

void EdgeNode::Lines(const std::vector<LineStatus>& lines, bool withCounters, uint64_t nowMs) {
  pb::Payload p;
  for (size_t l = 0; l < lines.size() && l < lines_.size(); ++l) {
    linesNow_[l] = lines[l];
    LineStatus& had = lines_[l];
    const LineStatus& now = lines[l];
    if (!Publishing()) continue;
    if (now.state != had.state) {
      AddMetric(p, nullptr, model_.LineAlias(l, 0), DataType::String, nowMs)
          ->set_string_value(now.state);
      had.state = now.state;
    }
    if (!withCounters) continue;
    if (now.transactions != had.transactions) {
      AddMetric(p, nullptr, model_.LineAlias(l, 1), DataType::UInt64, nowMs)
          ->set_long_value(now.transactions);
      had.transactions = now.transactions;
    }
    if (now.failures != had.failures) {
      AddMetric(p, nullptr, model_.LineAlias(l, 2), DataType::UInt64, nowMs)
          ->set_long_value(now.failures);
      had.failures = now.failures;
    }
  }
  if (p.metrics_size() == 0 || !Publishing()) return;
  p.set_timestamp(nowMs);
  p.set_seq(NextSeq());
  Send(Topic("NDATA"), p.SerializeAsString());
}

}  // namespace mqtt
