// The edge node joined to the gateway's core: each line tells it when a
// block read is stored, it reads values from the lines' caches through the
// plan, and its DCMD writes go to Gateway::WriteAsync on the event loop,
// audited like Modbus writes. Built when the configuration has [mqtt];
// destroyed (NDEATH, DISCONNECT) before the core is stopped or reloaded.
#pragma once

#include <asio/io_context.hpp>
#include <memory>
#include <string>

#include "gateway/gw_config.h"
#include "gateway/gw_gateway.h"
#include "gateway/gw_plan.h"

namespace mqtt {

class GatewayEdge {
 public:
  // nullptr and `error` when the edge node cannot start (its store).
  static std::unique_ptr<GatewayEdge> Start(const gateway::Config& config,
                                            const gateway::Plan& plan, gateway::Gateway& core,
                                            asio::io_context& io, std::string& error);
  ~GatewayEdge();
  std::string StatsText() const;

  struct Impl;

 private:
  explicit GatewayEdge(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace mqtt
