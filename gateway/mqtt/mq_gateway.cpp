#include "gateway/mqtt/mq_gateway.h"

#include <asio/post.hpp>
#include <cstdio>
#include <cstring>

#include "gateway/core/line.h"
#include "gateway/core/log.h"
#include "gateway/mqtt/mq_service.h"

namespace mqtt {

namespace {

// A steady-clock time as UTC milliseconds.
uint64_t UtcMs(gateway::Clock::time_point at, gateway::Clock::time_point now) {
  if (at == gateway::Clock::time_point{}) return 0;
  const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
  const int64_t age = std::chrono::duration_cast<std::chrono::milliseconds>(now - at).count();
  return static_cast<uint64_t>(std::max<int64_t>(0, nowMs - age));
}

// A metric's value from the words of its table (`word(offset)`), good when
// every word it takes is.
template <class Word>
Value MetricValue(const MetricDef& m, const Word& word) {
  Value v;
  const auto [w, good, at] = word(m.offset);
  v.good = good;
  v.timeMs = at;
  if (m.type == DataType::Float) {
    const auto [low, lowGood, lowAt] = word(m.offset + 1);
    v.good = v.good && lowGood;
    v.bits = (static_cast<uint64_t>(w) << 16) | low;
    v.timeMs = std::min(at, lowAt);
  } else if (m.bit >= 0) {
    v.bits = (w >> m.bit) & 1u;
  } else {
    v.bits = m.type == DataType::Boolean ? (w & 1u) : w;
  }
  return v;
}

std::string ValueText(const MetricDef& metric, uint64_t bits) {
  switch (metric.type) {
    case DataType::Float: {
      const uint32_t word = static_cast<uint32_t>(bits);
      float f = 0;
      std::memcpy(&f, &word, sizeof f);
      char text[32];
      std::snprintf(text, sizeof text, "%g", static_cast<double>(f));
      return text;
    }
    case DataType::Int16:
      return std::to_string(static_cast<int16_t>(bits));
    case DataType::Boolean:
      return bits != 0 ? "true" : "false";
    default:
      return std::to_string(bits);
  }
}

}  // namespace

bool ReadDevice(const gateway::Gateway& core, const DeviceDef& device,
                gateway::Clock::time_point now, std::vector<Value>& out) {
  const std::vector<std::vector<gateway::Sample>> unit = core.ReadUnit(device.unit, now);
  out.resize(device.metrics.size());
  for (size_t i = 0; i < device.metrics.size(); ++i) {
    const MetricDef& m = device.metrics[i];
    out[i] = MetricValue(m, [&](uint32_t offset) {
      if (m.table >= unit.size() || offset >= unit[m.table].size())
        return std::tuple<uint16_t, bool, uint64_t>{0, false, 0};
      const gateway::Sample& sample = unit[m.table][offset];
      return std::tuple<uint16_t, bool, uint64_t>{
          sample.word, sample.quality == gateway::Quality::Good, UtcMs(sample.readAt, now)};
    });
  }
  return core.LineAt(device.line).CurrentPhase() == gateway::Phase::Running;
}

gateway::WriteOrder WriteOrderFor(const DeviceDef& device, const MetricDef& metric, uint64_t bits,
                                  const std::string& actor) {
  gateway::PointWrite piece;
  piece.memory = metric.memory;
  piece.element = metric.element;
  piece.bit = metric.bit;
  if (metric.type == DataType::Float) {
    piece.values = {static_cast<uint16_t>(bits >> 16), static_cast<uint16_t>(bits)};
  } else if (metric.type == DataType::Boolean) {
    piece.values = {static_cast<uint16_t>(bits & 1)};
  } else {
    piece.values = {static_cast<uint16_t>(bits)};
  }
  gateway::WriteOrder order;
  order.unit = device.unitId;
  order.pieces.push_back(std::move(piece));
  order.actor = actor;
  order.what = "DCMD " + device.id + " " + metric.name + " value " + ValueText(metric, bits);
  order.outcome = [](int32_t status) {
    return status == ZOR_OK ? std::string("written") : std::string("not written");
  };
  return order;
}

namespace {

class Adapter : public Core {
 public:
  Adapter(const gateway::Plan& plan, gateway::Gateway& core, asio::io_context& io)
      : plan_(plan), core_(core), io_(io) {}

  bool ReadDevice(const DeviceDef& device, std::vector<Value>& out) override {
    return mqtt::ReadDevice(core_, device, gateway::Clock::now(), out);
  }

  bool PolledDevice(const DeviceDef& device, const gateway::PollResult& poll,
                    std::vector<Value>& out) override {
    const auto now = gateway::Clock::now();
    const bool up = mqtt::ReadDevice(core_, device, now, out);
    if (device.line != poll.line || device.unit >= plan_.refs.size()) return up;
    const std::vector<std::vector<gateway::Ref>>& refs = plan_.refs[device.unit];
    const uint64_t at = UtcMs(poll.at, now);
    for (size_t i = 0; i < device.metrics.size(); ++i) {
      const MetricDef& m = device.metrics[i];
      if (m.table >= refs.size() || m.offset >= refs[m.table].size() ||
          refs[m.table][m.offset].block != poll.block) {
        continue;
      }
      const Value polled = MetricValue(m, [&](uint32_t offset) {
        const gateway::Ref ref =
            offset < refs[m.table].size() ? refs[m.table][offset] : gateway::Ref{};
        if (offset >= refs[m.table].size() || ref.block != poll.block ||
            ref.offset >= poll.values.size())
          return std::tuple<uint16_t, bool, uint64_t>{0, false, 0};
        return std::tuple<uint16_t, bool, uint64_t>{poll.values[ref.offset], poll.good, at};
      });
      // A failed poll keeps the time of the values it could not renew.
      out[i] = Value{polled.bits, polled.good, poll.good ? at : out[i].timeMs};
    }
    return up;
  }

  std::vector<LineStatus> LineStatuses() override {
    std::vector<LineStatus> lines(core_.LineCount());
    for (size_t l = 0; l < lines.size(); ++l) {
      const gateway::Line& line = core_.LineAt(l);
      lines[l].state = gateway::PhaseName(line.CurrentPhase());
      lines[l].transactions = line.Counters().transactions.Get();
      lines[l].failures = line.Counters().failures.Get();
    }
    return lines;
  }

  void Write(const DeviceDef& device, const MetricDef& metric, uint64_t bits,
             const std::string& actor) override {
    // The core takes writes on the event loop.
    asio::post(io_, [&core = core_, order = WriteOrderFor(device, metric, bits, actor)]() mutable {
      core.Submit(std::move(order), nullptr);
    });
  }

  void Log(const std::string& line) override { gateway::Log(line); }

 private:
  const gateway::Plan& plan_;
  gateway::Gateway& core_;
  asio::io_context& io_;
};

}  // namespace

struct GatewayEdge::Impl {
  gateway::Plan plan;
  gateway::Gateway& core;
  Adapter adapter;
  Service service;
  Impl(const gateway::Config& config, const gateway::Plan& p, gateway::Gateway& c,
       asio::io_context& io)
      : plan(p), core(c), adapter(plan, c, io), service(config.mqtt, BuildModel(config), adapter) {}
};

GatewayEdge::GatewayEdge(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

namespace {

// Which devices each block of each line holds.
std::vector<std::vector<std::vector<size_t>>> BlockDevices(const Model& model,
                                                           const gateway::Plan& plan) {
  std::vector<std::vector<std::vector<size_t>>> blocks(plan.lines.size());
  for (size_t l = 0; l < plan.lines.size(); ++l) blocks[l].resize(plan.lines[l].blocks.size());
  for (size_t d = 0; d < model.devices.size(); ++d) {
    const DeviceDef& device = model.devices[d];
    for (const std::vector<gateway::Ref>& refs : plan.refs[device.unit]) {
      for (const gateway::Ref& ref : refs) {
        if (ref.block >= blocks[device.line].size()) continue;
        std::vector<size_t>& holders = blocks[device.line][ref.block];
        if (holders.empty() || holders.back() != d) holders.push_back(d);
      }
    }
  }
  return blocks;
}

}  // namespace

void GatewayEdge::Attach() {
  impl_->core.Subscribe(impl_->service.Polls());
}

void GatewayEdge::Detach() {
  impl_->core.Unsubscribe(impl_->service.Polls().get());
}

std::unique_ptr<GatewayEdge> GatewayEdge::Start(const gateway::Config& config,
                                                const gateway::Plan& plan, gateway::Gateway& core,
                                                asio::io_context& io, std::string& error) {
  auto impl = std::make_unique<Impl>(config, plan, core, io);
  impl->service.SetBlockDevices(BlockDevices(BuildModel(config), plan));
  if (!impl->service.Start(error)) return nullptr;
  std::unique_ptr<GatewayEdge> edge(new GatewayEdge(std::move(impl)));
  edge->Attach();
  return edge;
}

GatewayEdge::~GatewayEdge() {
  Detach();
  impl_->service.Stop();
}

bool GatewayEdge::Reloading(const gateway::Config& fresh) {
  if (!fresh.mqtt.enabled || !fresh.mqtt.SameBroker(impl_->service.Cfg())) return false;
  impl_->service.Park();
  return true;
}

void GatewayEdge::Reloaded(const gateway::Config& fresh, const gateway::Plan& plan) {
  impl_->plan = plan;
  Model model = BuildModel(fresh);
  auto blocks = BlockDevices(model, plan);
  impl_->service.Rebind(fresh.mqtt, std::move(model), std::move(blocks));
  impl_->service.Resume();
}

std::string GatewayEdge::StatsText() const {
  return impl_->service.StatsText();
}

}  // namespace mqtt
