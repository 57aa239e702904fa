// The edge node joined to the gateway's core: subscribed to its polls, it
// reads its devices' points with the core's quality rule, and its DCMD
// writes go to the core on the event loop as writes of the metrics' points
// (with the line's write_timeout_ms, audited by the core). Built when the
// configuration has [mqtt]; destroyed (NDEATH, DISCONNECT) before the core
// is stopped, or parked around its reload.
#pragma once

#include <asio/io_context.hpp>
#include <memory>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/core/gateway.h"
#include "gateway/core/plan.h"
#include "gateway/mqtt/mq_model.h"
#include "gateway/mqtt/mq_node.h"

namespace mqtt {

// The device's values now (in the model's order), each good by the core's
// rule; false when its line is not running.
bool ReadDevice(const gateway::Gateway& core, const DeviceDef& device,
                gateway::Clock::time_point now, std::vector<Value>& out);
// The core's write of a DCMD's value to the metric's point.
gateway::WriteOrder WriteOrderFor(const DeviceDef& device, const MetricDef& metric, uint64_t bits,
                                  const std::string& actor);

class GatewayEdge {
 public:
  // nullptr and `error` when the edge node cannot start (its store).
  static std::unique_ptr<GatewayEdge> Start(const gateway::Config& config,
                                            const gateway::Plan& plan, gateway::Gateway& core,
                                            asio::io_context& io, std::string& error);
  ~GatewayEdge();
  std::string StatsText() const;

  // SIGHUP, on the event loop, around Gateway::Reload. Reloading: when the
  // broker settings stay, the edge node's thread is parked (true);
  // otherwise the caller ends it and starts a new one (false). Reloaded:
  // the new devices and plan, births in the same session when the devices
  // changed, and the thread resumes.
  bool Reloading(const gateway::Config& fresh);
  void Reloaded(const gateway::Config& fresh, const gateway::Plan& plan);

  struct Impl;

 private:
  explicit GatewayEdge(std::unique_ptr<Impl> impl);
  void Attach();  // every line tells the edge node of its block reads
  void Detach();
  std::unique_ptr<Impl> impl_;
};

}  // namespace mqtt
