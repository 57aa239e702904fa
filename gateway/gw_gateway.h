// The gateway's core, without sockets: the lines and their caches, Modbus
// reads served from the cache with quality, writes handed to the line
// threads, and the diagnostics (counters in the log and as registers).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "gateway/gw_config.h"
#include "gateway/gw_line.h"
#include "gateway/gw_plan.h"

namespace gateway {

// Modbus exception codes the gateway answers with.
enum Exception : uint8_t {
  kOk = 0,
  kIllegalFunction = 0x01,
  kIllegalAddress = 0x02,
  kIllegalValue = 0x03,
  kDeviceFailure = 0x04,
  kDeviceBusy = 0x06,     // the client's request rate is over its limit
  kGatewayPath = 0x0A,    // the unit id is not configured
  kGatewayTarget = 0x0B,  // no good value: the station did not answer, or too long ago
};

// Diagnostics registers (input and holding registers of the diagnostics unit).
inline constexpr uint32_t kDiagLineBase = 100, kDiagLineSize = 32;
inline constexpr uint32_t kDiagUnitBase = 1000, kDiagUnitSize = 32;
inline constexpr uint32_t kDiagClientBase = 10000, kDiagClientSize = 16, kDiagClients = 64;

// A write's status when the gateway refused it before it reached a line.
inline constexpr int32_t kNotSent = -1001;

// Counters of one client address (all on the event loop's thread or atomic).
struct ClientCounters {
  std::string address;
  Counter connections, requests, writes, writeFailures, refusals;
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
  // A write of registers (holding) or bits (coils): `done` gets the
  // exception to answer (kOk when carried out) and the driver's status
  // (kNotSent when the gateway refused it first), once, on the line's
  // thread or at once on the caller's. Tables without `writable` refuse
  // writes with 0x02; F values are written whole.
  using WriteDone = std::function<void(uint8_t code, int32_t status)>;
  void WriteAsync(int unitId, Kind kind, uint32_t address, const std::vector<uint16_t>& values,
                  WriteDone done);
  // Writes that waited too long in a line's queue are answered 0x0B and
  // dropped (the server calls this every 100 ms).
  void ExpireWrites(Clock::time_point now) {
    for (auto& line : lines_) line->ExpireWrites(now);
  }
  // The same, waiting for the answer (tests).
  uint8_t Write(int unitId, Kind kind, uint32_t address, const std::vector<uint16_t>& values);

  // Counters as text, one line per line and per unit, for the log.
  std::string StatsText(Clock::time_point now) const;
  // The counters in the Prometheus text format (the metrics listener).
  std::string MetricsText(Clock::time_point now) const;
  // The diagnostics unit's registers.
  std::vector<uint16_t> DiagnosticRegisters(Clock::time_point now) const;
  // Start-up progress: lines still configuring, as text (empty when none).
  std::string Progress(Clock::time_point now) const;

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
  const Config& Cfg() const { return config_; }
  // Modbus connections open (the server counts them), and refused.
  void CountClient(int delta) { clients_.fetch_add(delta); }
  void CountRefusedClient() { refusedClients_.Add(); }
  // Connections the gateway closed: idle, too slow, not reading, bad
  // frames, or giving way to a new one.
  void CountClosedClient() { closedClients_.Add(); }
  // The counters of a client address: one entry per address, up to 256;
  // later addresses share the entry "other".
  ClientCounters& Client(const std::string& address);
  // Routes a driver log line to its line by instance number.
  void NoteDriverLine(const std::string& line);

 private:
  struct UnitCounters {
    Counter requests, exceptions;
  };
  const Unit* FindUnit(int unitId, size_t& index) const;
  // Age of the oldest block a unit reads, in ms (UINT32_MAX: one never read well).
  uint32_t UnitCacheAge(size_t unit, Clock::time_point now) const;
  uint32_t LineCacheAge(size_t line, Clock::time_point now) const;
  // The longest interval between two reads of a block the unit reads.
  uint32_t UnitPollCycle(size_t unit) const;

  Config config_;
  Plan plan_;
  ZorMainFn zorMain_;
  // Swapped by Reload on the loop's thread; NoteDriverLine (line threads) reads it under the lock.
  mutable std::shared_mutex linesMutex_;
  std::vector<std::shared_ptr<Line>> lines_;
  std::vector<std::shared_ptr<UnitCounters>> unitCounters_;
  std::vector<int> unitIndex_;  // by unit id: index into config_.units, or -1
  Clock::time_point started_;
  std::atomic<int> clients_{0};
  Counter refusedClients_, closedClients_;
  mutable std::mutex clientsMutex_;
  std::vector<std::unique_ptr<ClientCounters>> clientCounters_;  // in the order first seen
};

}  // namespace gateway
