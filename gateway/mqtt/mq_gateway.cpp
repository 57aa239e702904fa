#include "gateway/mqtt/mq_gateway.h"

#include <asio/post.hpp>
#include <cstdio>
#include <mutex>
#include <shared_mutex>

#include "gateway/core/answers.h"
#include "gateway/core/line.h"
#include "gateway/core/log.h"
#include "gateway/modbus/pdu.h"
#include "gateway/mqtt/mq_service.h"
#include "gateway/report/audit.h"

namespace mqtt {

namespace {

const char* StateName(gateway::Phase phase) {
  switch (phase) {
    case gateway::Phase::Starting:
      return "starting";
    case gateway::Phase::Configuring:
      return "configuring";
    case gateway::Phase::Running:
      return "running";
    case gateway::Phase::PortFailed:
      return "port failed";
    case gateway::Phase::Stopped:
      return "stopped";
    case gateway::Phase::ConfiguringFailed:
      return "configuring failed";
  }
  return "unknown";
}

// The audit line of a Modbus write (report::AuditWrite), the MQTT client
// as the actor in place of an address and port.
void Audit(const std::string& actor, int unit, int function, gateway::Kind kind, uint32_t address,
           const std::vector<uint16_t>& values, int32_t status, uint8_t answer) {
  gateway::modbus::Request request;
  request.unit = static_cast<uint8_t>(unit);
  request.function = static_cast<uint8_t>(function);
  request.write = true;
  request.kind = kind;
  request.address = address;
  request.count = static_cast<uint32_t>(values.size());
  request.values = values;
  std::string line = gateway::report::AuditWrite("", 0, request, status, answer, nullptr);
  const std::string anonymous = "audit: write from :0";
  if (line.rfind(anonymous, 0) == 0)
    line.replace(0, anonymous.size(), "audit: write from " + actor);
  gateway::Log(line);
}

class Adapter : public Core {
 public:
  Adapter(const gateway::Plan& plan, gateway::Gateway& core, asio::io_context& io)
      : plan_(plan), core_(core), io_(io) {}

  bool ReadDevice(const DeviceDef& device, std::vector<Value>& out) override {
    gateway::Line& line = core_.LineAt(device.line);
    const bool up = line.CurrentPhase() == gateway::Phase::Running;
    const auto now = gateway::Clock::now();
    const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    const std::vector<std::vector<gateway::Ref>>& refs = plan_.refs[device.unit];
    out.resize(device.metrics.size());
    std::shared_lock<std::shared_mutex> lock(line.CacheMutex());
    const std::vector<gateway::BlockState>& cache = line.Cache();
    // The word at a table's element, whether it is fresh enough, and when it was read.
    const auto word = [&](const MetricDef& m, uint32_t offset, uint16_t& value, bool& good,
                          int64_t& at) {
      const std::vector<gateway::Ref>& r = refs[m.table];
      good = false;
      if (offset >= r.size() || r[offset].block >= cache.size()) return;
      const gateway::BlockState& state = cache[r[offset].block];
      if (state.goodAt == gateway::Clock::time_point{} || r[offset].offset >= state.values.size())
        return;
      const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(now - state.goodAt);
      good = age.count() <= static_cast<int64_t>(m.maxAgeMs);
      value = state.values[r[offset].offset];
      at = nowMs - age.count();
    };
    for (size_t i = 0; i < device.metrics.size(); ++i) {
      const MetricDef& m = device.metrics[i];
      Value& v = out[i];
      uint16_t w = 0;
      int64_t at = 0;
      word(m, m.offset, w, v.good, at);
      if (m.type == DataType::Float) {
        uint16_t low = 0;
        bool lowGood = false;
        int64_t lowAt = 0;
        word(m, m.offset + 1, low, lowGood, lowAt);
        v.good = v.good && lowGood;
        v.bits = (static_cast<uint64_t>(w) << 16) | low;
        at = std::min(at, lowAt);
      } else if (m.bit >= 0) {
        v.bits = (w >> m.bit) & 1u;
      } else {
        v.bits = m.type == DataType::Boolean ? (w & 1u) : w;
      }
      v.timeMs = static_cast<uint64_t>(std::max<int64_t>(0, at));
    }
    return up;
  }

  std::vector<LineStatus> LineStatuses() override {
    std::vector<LineStatus> lines(core_.LineCount());
    for (size_t l = 0; l < lines.size(); ++l) {
      const gateway::Line& line = core_.LineAt(l);
      lines[l].state = StateName(line.CurrentPhase());
      lines[l].transactions = line.Counters().transactions.Get();
      lines[l].failures = line.Counters().failures.Get();
    }
    return lines;
  }

  void Write(const DeviceDef& device, const MetricDef& metric, uint64_t bits,
             const std::string& actor) override {
    std::vector<uint16_t> values;
    int function = 6;
    if (metric.type == DataType::Float) {
      const uint16_t high = static_cast<uint16_t>(bits >> 16), low = static_cast<uint16_t>(bits);
      values = metric.writeLowFirst ? std::vector<uint16_t>{low, high}
                                    : std::vector<uint16_t>{high, low};
      function = 16;
    } else if (metric.writeKind == gateway::Kind::Coil) {
      values = {static_cast<uint16_t>(bits & 1)};
      function = 5;
    } else {
      values = {static_cast<uint16_t>(bits)};
    }
    const int unit = device.unitId;
    const gateway::Kind kind = metric.writeKind;
    const uint32_t address = metric.writeAddress;
    gateway::Gateway& core = core_;
    asio::post(io_, [&core, actor, unit, kind, address, values, function] {
      core.WriteAsync(unit, kind, address, values,
                      [actor, unit, function, kind, address, values](uint8_t code, int32_t status) {
                        Audit(actor, unit, function, kind, address, values, status, code);
                      });
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
  Service* service = &impl_->service;
  for (size_t l = 0; l < impl_->core.LineCount(); ++l) {
    impl_->core.LineAt(l).SetReadObserver(
        [service, l](size_t block) { service->BlockRead(l, block); });
  }
}

void GatewayEdge::Detach() {
  for (size_t l = 0; l < impl_->core.LineCount(); ++l)
    impl_->core.LineAt(l).SetReadObserver(nullptr);
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
  paused_ = impl_->service.Pause();
  Detach();
  return true;
}

void GatewayEdge::Reloaded(const gateway::Config& fresh, const gateway::Plan& plan) {
  impl_->plan = plan;
  Model model = BuildModel(fresh);
  auto blocks = BlockDevices(model, plan);
  impl_->service.Rebind(fresh.mqtt, std::move(model), std::move(blocks));
  Attach();
  paused_ = {};
}

std::string GatewayEdge::StatsText() const {
  return impl_->service.StatsText();
}

}  // namespace mqtt
