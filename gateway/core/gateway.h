// The gateway's core, without sockets and named by no protocol: the lines
// and their caches, their points read with one quality rule, each poll's
// result handed to subscribers, writes of points handed to the line threads
// (expired and audited here), and the counters the reports
// (gateway/report/) read. The protocol adapters (gateway/modbus/,
// gateway/mqtt/) own their address maps over it.
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
#include "gateway/core/line.h"
#include "gateway/core/plan.h"
#include "gateway/core/points.h"
#include "gateway/core/write_chain.h"

namespace gateway {

// Counters of one client address (all on the event loop's thread or atomic).
struct ClientCounters {
  std::string address;
  Counter connections, requests, writes, writeFailures, refusals;
};

// Requests to one unit, and the ones refused or failed (counted by the
// Modbus adapter, atomic).
struct UnitCounters {
  Counter requests, exceptions;
};

class Gateway {
 public:
  Gateway(const Config& config, const Plan& plan, ZorMainFn zorMain);
  ~Gateway();

  void Start();  // starts every line's thread
  void Stop();   // finishes each line's transaction, stops the instances

  // Reads and writes go on the event loop's thread, which also reloads; the
  // edge node's thread reads too, but is parked around a reload. Values are
  // copied out under the line's cache lock, which no caller takes.

  // The unit (index into Cfg().units) with this id, or nullptr.
  const Unit* FindUnit(int unitId, size_t& index) const;
  // Elements [first, first + count) of table `table` of unit `unit`
  // (counted from the table's first element; V bits: their words), each
  // with its quality by the one rule.
  std::vector<Sample> ReadTable(size_t unit, size_t table, uint32_t first, uint32_t count,
                                Clock::time_point now) const;
  // Every element of every table of the unit: [table][element].
  std::vector<std::vector<Sample>> ReadUnit(size_t unit, Clock::time_point now) const;

  // Each poll's result from now on, in order (line threads push; the
  // queue's owner takes). Also the lines a reload starts. Once Unsubscribe
  // returns, the queue is neither filled nor woken.
  void Subscribe(std::shared_ptr<PollQueue> queue);
  void Unsubscribe(const PollQueue* queue);

  // A write: refused (kNotSent) when the unit is unknown or a piece is not
  // in a writable table; otherwise carried out through the line's queue,
  // answered kNotDone at its deadline if the line has not taken it. Audited
  // (one line in the log) when it ends; `done` then gets the status, once,
  // on a line's thread, the expiry's or at once on the caller's.
  using WriteDone = std::function<void(int32_t status)>;
  void Submit(WriteOrder order, WriteDone done);

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
  const UnitCounters& UnitCountersAt(size_t unit) const { return *unitCounters_[unit]; }
  std::shared_ptr<UnitCounters> UnitCountersOf(size_t unit) { return unitCounters_[unit]; }
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

 private:
  struct PollHub;
  std::shared_ptr<Line> MakeLine(const Config& config, const Plan& plan, size_t l) const;

  // The configuration, plan, lines and units' counters: the event loop's
  // (replaced by Reload only while no other thread reads them).
  Config config_;
  Plan plan_;
  ZorMainFn zorMain_;
  std::shared_ptr<PollHub> hub_;  // shared with the lines' poll hooks; its own lock
  WriteExpiry expiry_;            // its own thread and lock
  std::vector<std::shared_ptr<Line>> lines_;
  std::vector<std::shared_ptr<UnitCounters>> unitCounters_;
  std::vector<int> unitIndex_;  // by unit id: index into config_.units, or -1
  Clock::time_point started_;
  // Counted by the network side (atomic); the clients' counters are the
  // Modbus server's, their list guarded by clientsMutex_ (the metrics read it).
  std::atomic<int> clients_{0};
  Counter refusedClients_, closedClients_;
  mutable std::mutex clientsMutex_;
  std::vector<std::unique_ptr<ClientCounters>> clientCounters_;  // in the order first seen
};

// Milliseconds, clamped to 0..UINT32_MAX.
uint32_t Ms(Clock::duration d);

}  // namespace gateway
