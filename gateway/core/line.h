// One serial line: one driver instance, used by one thread only. The thread
// starts the instance (ColdStart, then a CheckBlock per block of the plan),
// then runs queued writes and polls: writes go first, but after each write a
// poll that is due goes next, so writes take at most half the line while
// polls are due. Values, their time and their quality go to the line's
// cache. A port that fails is closed, reported down and opened again with
// back-off until it answers.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/core/counters.h"
#include "gateway/core/log.h"
#include "gateway/core/plan.h"
#include "host/instance.h"

namespace gateway {

// A status that no driver command returns: the write was not carried out
// (the gateway is stopping, the line is down, the station was found silent,
// or the write waited longer than the line's write_timeout_ms).
inline constexpr int32_t kNotDone = -1000;

// A point as the driver reads it: station, memory, element (hex), and the
// bit of a V word when `bit` is 0 to 15.
std::string PointText(int station, char memory, uint32_t element, int bit);

// The cache of one block read.
struct BlockState {
  std::vector<uint16_t> values;  // one per element (discretes 0 or 1)
  Clock::time_point goodAt{};    // when the last good read ended
  bool good = false;             // the last read succeeded
  bool everRead = false;
  Clock::time_point lastStart{};  // when the last read began
  uint32_t intervalMs = 0;        // between the starts of the last two reads
};

// A write, run by the line's thread.
struct WriteJob {
  int station = 0;
  char memory = 'V';             // V, Y or C
  uint32_t element = 0;          // first element
  int bit = -1;                  // single bits of V words: the first bit
  std::vector<uint16_t> values;  // words, or 0/1 per discrete or bit
  std::string actor;             // who asked, for the log ("" when not named)
  // Called once with the driver's status (or kNotDone), on the line's thread
  // or, when refused at once, on the caller's; never under the line's locks.
  std::function<void(int32_t)> done;
  Clock::time_point deadline{};  // answered kNotDone, never carried out, after this
};
// PortFailed: the port is closed (it failed, or cannot be opened) and is
// being opened again. ConfiguringFailed: the port is open but the adapter's
// configuration failed; it is tried again until it succeeds. (The numbers
// are the diagnostics register's and the metrics'.)
enum class Phase : int {
  Starting = 0,
  Configuring = 1,
  Running = 2,
  PortFailed = 3,
  Stopped = 4,
  ConfiguringFailed = 5
};
// "starting", "configuring", "running", "port failed", "stopped",
// "configuring failed": every side's words for a phase (log, stats, MQTT).
const char* PhaseName(Phase phase);

class Line;
// Called on the line's thread after each block read is stored, with the
// block's values as stored (the last good ones when the read failed).
using PollHook = std::function<void(const Line& line, size_t block, bool good,
                                    std::vector<uint16_t> values, Clock::time_point at)>;

class Line {
 public:
  // The instance's calls collect the driver's log lines of the line's
  // thread (the driver must log through zortw_host::CollectingLog).
  Line(const LineConfig& config, std::vector<Block> blocks, double floorMs, ZorMainFn zorMain);
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  void Start();
  // Ends the thread after the transaction in progress; pending writes get
  // kNotDone; the instance is stopped through the driver.
  void RequestStop();
  void Join();

  // Queues a write ahead of the polls; refused at once (kNotDone) when the
  // line is not running or the station was last found silent.
  void Submit(WriteJob job);

  size_t QueuedWrites() {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return writes_.size();
  }
  const LineConfig& Config() const { return config_; }
  const std::vector<Block>& Blocks() const { return blocks_; }
  double FloorMs() const { return floorMs_; }
  Phase CurrentPhase() const { return phase_.load(); }
  Clock::time_point PhaseSince() const;

  // Stores a read's result (as the line's thread does): for tests.
  void StoreRead(size_t block, bool good, const std::vector<uint16_t>& values,
                 Clock::time_point at);

  LineCounters& Counters() { return counters_; }
  const LineCounters& Counters() const { return counters_; }
  // Where each poll's result goes besides the cache (set before Start, by
  // the core that owns the line).
  void SetPollHook(PollHook hook) { pollHook_ = std::move(hook); }
  // Who reads each station, for the log's words on a station's faults:
  // names[station] is e.g. "unit 1 (boiler)"; empty: "station 07" alone.
  void SetStationNames(std::vector<std::string> names) {
    std::lock_guard<std::mutex> lock(namesMutex_);
    names_ = std::move(names);
  }

 private:
  // The cache is read by the core (gateway.cpp) only, under a shared lock;
  // every other side gets copies from it.
  friend class Gateway;
  std::shared_mutex& CacheMutex() const { return cacheMutex_; }
  const std::vector<BlockState>& Cache() const { return cache_; }

  void Run();
  bool StartInstance();
  bool OpenAndCheckBlocks();  // ColdStart with back-off, then the CheckBlocks
  // After a failed transaction: whether the port has failed (its device is
  // gone or replaced, or nothing has succeeded for a while).
  bool PortFailed(Clock::time_point now);
  bool Recover();  // closes the port, opens it again; false when stopping
  void FailQueuedWrites();

 public:
  // Answers kNotDone to queued writes whose deadline has passed, and drops
  // them; called from outside the line's thread while it may be in a long
  // transaction.
  void ExpireWrites(Clock::time_point now);

 private:
  void SpoilCache();
  bool ReadBlock(size_t index);  // true when the read succeeded
  // A read's status against what the station and the block last did: a
  // change is logged once, in words, with what to check.
  void NoteReadStatus(size_t index, int32_t status);
  // ColdStart's configuration of the adapter failed (its log says so):
  // WarmStart with back-off until it succeeds (Yes), the gateway stops, or
  // the port's device is gone or fails (PortGone: the port is closed).
  enum class Configured { Yes, Stopping, PortGone };
  Configured ConfigureAgain(int32_t failed);
  int32_t RunWrite(const WriteJob& job);
  // One WriteBlock of `count` elements from data[1...], counted; the cache
  // takes the values when it succeeds.
  int32_t WriteElements(const WriteJob& job, const ZorPointAddress& address, uint32_t element,
                        int bit, int32_t count, uint16_t* data);
  void UpdateAfterWrite(int station, char memory, uint32_t element, int bit, uint16_t value);
  // A transfer's status, with the failed attempts its log lines show.
  void Account(int station, const zortw_host::Result& result, Clock::duration took);
  bool WaitFor(std::chrono::milliseconds period);  // false when stopping

  LineConfig config_;
  std::vector<Block> blocks_;
  double floorMs_;
  zortw_host::Instance instance_;
  bool haveContext_ = false;  // GetDriverInfo answered: Stop is owed at the end
  PollHook pollHook_;         // set before the thread starts, then only read by it
  std::vector<ZorPointAddress> addresses_;
  std::vector<bool> defined_;
  std::vector<Clock::time_point> due_;
  Clock::time_point lastFirstRead_{};
  Clock::time_point lastWarmStart_{};
  Clock::time_point lastSuccess_{};
  uint32_t failuresSinceSuccess_ = 0;
  uint32_t fastFailures_ = 0;  // failed without waiting for a reply, in a row
  // Nothing succeeding for this long closes and reopens the port; doubled
  // each time that did not help (up to 5 min), back to 10 s on a success.
  std::chrono::milliseconds quiet_{10000};
  bool haveDevice_ = false;
  uint64_t deviceId_ = 0, deviceInode_ = 0;      // of the port as opened
  std::array<std::atomic<bool>, 256> silent_{};  // station's last transaction had no reply
  // The fault last logged per station (no reply, no such station, not
  // connected) and per block (any other failure); ZOR_OK when none.
  std::array<int32_t, 256> stationFault_{};
  std::vector<int32_t> blockFault_;
  std::mutex namesMutex_;
  std::vector<std::string> names_;

  // The cache: written by the line's thread (and StoreRead in tests), read
  // by the core (gateway.cpp) under cacheMutex_, which no one else takes.
  mutable std::shared_mutex cacheMutex_;
  std::vector<BlockState> cache_;

  // The write queue and stop flag: shared by the line's thread and its
  // submitters, guarded by queueMutex_.
  std::mutex queueMutex_;
  std::condition_variable wake_;
  std::deque<WriteJob> writes_;
  bool stop_ = false;

  std::atomic<Phase> phase_{Phase::Starting};
  std::atomic<int64_t> phaseSince_{0};
  LineCounters counters_;
  std::thread thread_;
};

}  // namespace gateway
