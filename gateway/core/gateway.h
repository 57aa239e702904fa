// The gateway's core, without sockets: the lines and their caches, reads
// served from the cache with quality, writes handed to the line threads,
// and the counters the reports (gateway/report/) read.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/core/answers.h"
#include "gateway/core/edge_state.h"
#include "gateway/core/line.h"
#include "gateway/core/plan.h"
#include "gateway/core/write_chain.h"

namespace gateway {

// Counters of one client address (all on the event loop's thread or atomic).
struct ClientCounters {
  std::string address;
  Counter connections, requests, writes, writeFailures, refusals;
};

// Modbus requests to one unit, and the exceptions it answered.
struct UnitCounters {
  Counter requests, exceptions;
};

class Gateway {
 public:
  Gateway(const Config& config, const Plan& plan, ZorMainFn zorMain);
  ~Gateway();

  void Start();  // starts every line's thread
  void Stop();   // finishes each line's transaction, stops the instances

  // A read of `count` registers or bits from `address`: values into `out`
  // (bits as 0/1), or the exception to answer.
  uint8_t Read(int unitId, Kind kind, uint32_t address, uint32_t count, std::vector<uint16_t>& out,
               Clock::time_point now);
  // A write: `done` gets the exception to answer (kOk when carried out) and
  // the driver's status (kNotSent when the gateway refused it first), once,
  // on the line's thread or at once on the caller's. Tables without
  // `writable` refuse writes with 0x02; F values are written whole.
  using WriteDone = std::function<void(uint8_t code, int32_t status)>;
  void Submit(WriteRequest request, WriteDone done);
  // The same from a Modbus client, which the log does not name.
  void WriteAsync(int unitId, Kind kind, uint32_t address, const std::vector<uint16_t>& values,
                  WriteDone done) {
    Submit(WriteRequest{unitId, kind, address, values, ""}, std::move(done));
  }
  // Writes that waited too long in a line's queue are answered 0x0B and
  // dropped (the Modbus service calls this when a queued write's time is up).
  void ExpireWrites(Clock::time_point now) {
    for (auto& line : lines_) line->ExpireWrites(now);
  }
  // The same, waiting for the answer (tests).
  uint8_t Write(int unitId, Kind kind, uint32_t address, const std::vector<uint16_t>& values);

  // Where every line's polls go besides the cache, also the lines a reload
  // starts (set before Start; called on the line threads).
  void SetPollSink(PollSink sink);

  // A new configuration, checked in full by the caller (on the event loop's
  // thread, like every Read and Write). Lines whose settings and reads did
  // not change keep running with their caches; the others are handed back
  // to be stopped (`retired`, already asked to stop) before the new ones
  // (`fresh`, not started) start. Units' counters stay with their ids. The
  // listen address and port are the caller's (they need a restart).
  struct Replaced {
    std::vector<std::shared_ptr<Line>> retired, fresh;
    std::string summary;
  };
  Replaced Reload(const Config& config, const Plan& plan);

  size_t LineCount() const { return lines_.size(); }
  Line& LineAt(size_t i) { return *lines_[i]; }
  const Line& LineAt(size_t i) const { return *lines_[i]; }
  const Config& Cfg() const { return config_; }
  const Plan& CurrentPlan() const { return plan_; }
  const UnitCounters& UnitCountersAt(size_t unit) const { return *unitCounters_[unit]; }
  Clock::time_point Started() const { return started_; }

  // Modbus connections open (the server counts them), and refused.
  void CountClient(int delta) { clients_.fetch_add(delta); }
  int OpenClients() const { return std::max(0, clients_.load()); }
  void CountRefusedClient() { refusedClients_.Add(); }
  uint64_t RefusedClients() const { return refusedClients_.Get(); }
  // Connections the gateway closed: idle, too slow, not reading, bad
  // frames, or giving way to a new one.
  void CountClosedClient() { closedClients_.Add(); }
  uint64_t ClosedClients() const { return closedClients_.Get(); }
  // The counters of a client address: one entry per address, up to 256;
  // later addresses share the entry "other".
  ClientCounters& Client(const std::string& address);
  // Every client address's counters, in the order first seen.
  std::vector<const ClientCounters*> Clients() const;

  // Age of the oldest block a unit reads, in ms (UINT32_MAX: one never read well).
  uint32_t UnitCacheAge(size_t unit, Clock::time_point now) const;
  uint32_t LineCacheAge(size_t line, Clock::time_point now) const;
  // The longest interval between two reads of a block the unit reads.
  uint32_t UnitPollCycle(size_t unit) const;

  // The MQTT edge node's state, from whoever runs it (called on the event
  // loop's thread; nullptr: no edge node).
  void SetEdgeProbe(std::function<EdgeState()> probe) { edgeProbe_ = std::move(probe); }
  EdgeState Edge() const { return edgeProbe_ ? edgeProbe_() : EdgeState{}; }

 private:
  const Unit* FindUnit(int unitId, size_t& index) const;
  std::shared_ptr<Line> MakeLine(const Config& config, const Plan& plan, size_t l) const;

  Config config_;
  Plan plan_;
  ZorMainFn zorMain_;
  PollSink pollSink_;
  std::function<EdgeState()> edgeProbe_;
  std::vector<std::shared_ptr<Line>> lines_;
  std::vector<std::shared_ptr<UnitCounters>> unitCounters_;
  std::vector<int> unitIndex_;  // by unit id: index into config_.units, or -1
  Clock::time_point started_;
  std::atomic<int> clients_{0};
  Counter refusedClients_, closedClients_;
  mutable std::mutex clientsMutex_;
  std::vector<std::unique_ptr<ClientCounters>> clientCounters_;  // in the order first seen
};

// Milliseconds, clamped to 0..UINT32_MAX.
uint32_t Ms(Clock::duration d);

}  // namespace gateway
