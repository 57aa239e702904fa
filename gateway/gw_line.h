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
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/point_records.h"
#include "base/records.h"
#include "gateway/gw_config.h"
#include "gateway/gw_plan.h"

namespace gateway {

using Clock = std::chrono::steady_clock;

// A timestamped line on standard error (thread-safe).
void Log(const std::string& line);

// A status that no driver command returns: the write was not carried out
// (the gateway is stopping, the line is down, the station was found silent,
// or the write waited longer than the line's write_timeout_ms).
inline constexpr int32_t kNotDone = -1000;
// The driver's status for a line failure: no reply, or the adapter refused.
inline constexpr int32_t kLineFailure = ZOR_LINE_FAILURE;

// The cache of one block read.
struct BlockState {
  std::vector<uint16_t> values;  // one per element (discretes 0 or 1)
  Clock::time_point goodAt{};    // when the last good read ended
  bool good = false;             // the last read succeeded
  bool everRead = false;
  Clock::time_point lastStart{};  // when the last read began
  uint32_t intervalMs = 0;        // between the starts of the last two reads
};

// A write from a Modbus client, run by the line's thread.
struct WriteJob {
  int station = 0;
  char memory = 'V';             // V, Y or C
  uint32_t element = 0;          // first element
  int bit = -1;                  // single bits of V words: the first bit
  std::vector<uint16_t> values;  // words, or 0/1 per discrete or bit
  // Called once with the driver's status (or kNotDone), on the line's thread
  // or, when refused at once, on the caller's; never under the line's locks.
  std::function<void(int32_t)> done;
  Clock::time_point queuedAt{};
};

struct Counter {
  std::atomic<uint64_t> value{0};
  void Add(uint64_t n = 1) { value.fetch_add(n, std::memory_order_relaxed); }
  uint64_t Get() const { return value.load(std::memory_order_relaxed); }
};

// Transactions of one station, or of a whole line.
struct StationCounters {
  Counter transactions, failures;
  Counter failLine, failInvalid, failPrimitive, failRefused;  // by status: 2, 65535, other, 1
  Counter retries;                      // failed attempts the driver made again
  std::atomic<int32_t> lastStatus{-1};  // -1 before the first transaction
  void Count(int32_t status, uint64_t retried);
};

struct LineCounters : StationCounters {
  Counter writes, writeFailures;
  Counter writesNotDone;             // answered 0x0B without being carried out
  Counter downs;                     // times the port was found failed and closed
  std::atomic<uint32_t> cycleMs{0};  // interval between two reads of the first block
  std::atomic<uint64_t> cycles{0};
  std::array<StationCounters, 256> stations;
};

// PortFailed: the port is closed (it failed, or cannot be opened) and is
// being opened again.
enum class Phase : int { Starting = 0, Configuring = 1, Running = 2, PortFailed = 3, Stopped = 4 };

class Line {
 public:
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

  // The cache: read under a shared lock.
  std::shared_mutex& CacheMutex() const { return cacheMutex_; }
  const std::vector<BlockState>& Cache() const { return cache_; }
  // Stores a read's result (as the line's thread does): for tests.
  void StoreRead(size_t block, bool good, const std::vector<uint16_t>& values,
                 Clock::time_point at);

  // Called on the line's thread after each block read is stored (the
  // MQTT edge node); nullptr removes it, after any call in progress.
  void SetReadObserver(std::function<void(size_t block)> observer) {
    std::lock_guard<std::mutex> lock(observerMutex_);
    observer_ = std::move(observer);
  }

  LineCounters& Counters() { return counters_; }
  const LineCounters& Counters() const { return counters_; }
  // A driver log line of this instance (CheckReply lines count attempts).
  void NoteDriverLine(const std::string& line);

 private:
  void Run();
  bool StartInstance();
  bool OpenAndCheckBlocks();  // ColdStart with back-off, then the CheckBlocks
  // After a failed transaction: whether the port has failed (its device is
  // gone or replaced, or nothing has succeeded for a while).
  bool PortFailed(Clock::time_point now);
  bool Recover();  // closes the port, opens it again; false when stopping
  void FailQueuedWrites();

 public:
  // Answers 0x0B (kNotDone) to queued writes that have waited longer than
  // write_timeout_ms, and drops them; called from outside the line's thread
  // while it may be in a long transaction.
  void ExpireWrites(Clock::time_point now);

 private:
  void SpoilCache();
  bool ReadBlock(size_t index);  // true when the read succeeded
  int32_t RunWrite(const WriteJob& job);
  void UpdateAfterWrite(int station, char memory, uint32_t element, int bit, uint16_t value);
  int32_t Call(int32_t command, void* params);
  void Account(int station, int32_t status, Clock::duration took, uint64_t loggedBefore);
  bool WaitFor(std::chrono::milliseconds period);  // false when stopping

  LineConfig config_;
  std::vector<Block> blocks_;
  double floorMs_;
  ZorMainFn zorMain_;
  std::vector<unsigned char> contextBytes_;
  std::vector<PointAddress> addresses_;
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

  std::mutex observerMutex_;
  std::function<void(size_t)> observer_;

  mutable std::shared_mutex cacheMutex_;
  std::vector<BlockState> cache_;

  std::mutex queueMutex_;
  std::condition_variable wake_;
  std::deque<WriteJob> writes_;
  bool stop_ = false;

  std::atomic<Phase> phase_{Phase::Starting};
  std::atomic<int64_t> phaseSince_{0};
  std::atomic<uint64_t> attemptLines_{0};
  LineCounters counters_;
  std::thread thread_;
};

}  // namespace gateway
