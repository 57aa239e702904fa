// The edge node joined to the gateway's core: each line tells it when a
// block read is stored, it reads values from the lines' caches through the
// plan, and its DCMD writes go to Gateway::WriteAsync on the event loop,
// audited like Modbus writes. Built when the configuration has [mqtt];
// destroyed (NDEATH, DISCONNECT) before the core is stopped or reloaded.
#pragma once

#include <asio/io_context.hpp>
#include <memory>
#include <mutex>
#include <string>

#include "gateway/config/config.h"
#include "gateway/core/gateway.h"
#include "gateway/core/plan.h"

namespace mqtt {

class GatewayEdge {
 public:
  // nullptr and `error` when the edge node cannot start (its store).
  static std::unique_ptr<GatewayEdge> Start(const gateway::Config& config,
                                            const gateway::Plan& plan, gateway::Gateway& core,
                                            asio::io_context& io, std::string& error);
  ~GatewayEdge();
  std::string StatsText() const;
  gateway::EdgeState State() const;

  // SIGHUP, on the event loop, around Gateway::Reload. Reloading: when the
  // broker settings stay, the edge node pauses and lets go of the lines
  // (true); otherwise the caller ends it and starts a new one (false).
  // Reloaded: the new devices and plan, the lines' observers again, births
  // in the same session when the devices changed.
  bool Reloading(const gateway::Config& fresh);
  void Reloaded(const gateway::Config& fresh, const gateway::Plan& plan);

  struct Impl;

 private:
  explicit GatewayEdge(std::unique_ptr<Impl> impl);
  void Attach();  // every line tells the edge node of its block reads
  void Detach();
  std::unique_ptr<Impl> impl_;
  std::unique_lock<std::mutex> paused_;
};

}  // namespace mqtt
