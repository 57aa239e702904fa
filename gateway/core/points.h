// The core's points as every side sees them, named by no protocol: the
// values of a unit's tables with one quality rule, each poll's result as it
// happens, and writes of points with who asked and until when, audited in
// one format. The protocol adapters (gateway/modbus/, gateway/mqtt/) map
// their own addresses onto these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/core/line.h"

namespace gateway {

// Whether a value may be served, and if not why: the one rule every side
// follows. A value is good when its block's last poll succeeded and that
// poll is not older than its table's max_age_ms.
enum class Quality : uint8_t {
  Good,
  NeverRead,  // no poll of its block has succeeded yet
  Failed,     // the last poll of its block failed (or the line's port did)
  Stale,      // older than its table's max_age_ms
};
const char* QualityText(Quality quality);  // "good", "never read", ...

// The one rule, for a block's cache and a table's max_age_ms.
Quality QualityOf(const BlockState& state, uint32_t maxAgeMs, Clock::time_point now);

// One element of a table as the cache holds it.
struct Sample {
  uint16_t word = 0;  // the element's word (discretes 0 or 1; V bits: the whole word)
  Quality quality = Quality::NeverRead;
  Clock::time_point readAt{};  // when the poll that read it ended ({}: never)
};

// A poll's result, handed to each subscriber in the order of the polls.
struct PollResult {
  size_t line = 0;   // the line's index in the configuration
  size_t block = 0;  // the block's index in the line's plan
  bool good = false;
  std::vector<uint16_t> values;  // the block's, one per element: the last good ones when failed
  Clock::time_point at{};        // when the poll ended
};

// A subscriber's queue of poll results: filled on the lines' threads,
// emptied by its owner (the subscriber) without the core's locks. Bounded:
// a full queue drops the newest result and counts it.
class PollQueue {
 public:
  // `wake` is called (on a line's thread, without the queue's lock, but
  // under the core's, so it must not block or call the core) after each
  // result is queued.
  PollQueue(size_t capacity, std::function<void()> wake)
      : capacity_(capacity), wake_(std::move(wake)) {}
  void Push(PollResult result);
  // Every result queued since the last call, oldest first.
  std::vector<PollResult> Take();
  void Clear();
  uint64_t Dropped() const;

 private:
  const size_t capacity_;
  const std::function<void()> wake_;
  mutable std::mutex mutex_;  // guards items_ and dropped_
  std::deque<PollResult> items_;
  uint64_t dropped_ = 0;
};

// Consecutive points of one unit's station to write.
struct PointWrite {
  char memory = 'V';             // V, Y or C
  uint32_t element = 0;          // the first element
  int bit = -1;                  // single bits of V words: the first bit
  std::vector<uint16_t> values;  // words, or 0/1 per discrete or bit
};

// A write as the core carries it out: its pieces in order, each once the
// one before it succeeded, through the line's write queue, never after
// `deadline`; audited when it ends.
struct WriteOrder {
  int unit = 0;  // the unit's id in the configuration
  std::vector<PointWrite> pieces;
  std::string actor;  // who asked: "ADDR:PORT", "mqtt:CLIENT"
  std::string what;   // what was asked, in the adapter's words (the audit line's middle)
  // Not carried out after this ({}: the line's write_timeout_ms from now;
  // never later than that).
  Clock::time_point deadline{};
  // The end of the audit line for a status ("answered ok"); may be empty.
  std::function<std::string(int32_t status)> outcome;
};

// A write's status when the gateway refused it before it reached a line.
inline constexpr int32_t kNotSent = -1001;

// "none (not sent)", "none (not carried out)" or the driver's status.
std::string StatusText(int32_t status);
// The audit line of one write, whoever asked (without the date, which Log
// adds): "audit: write from ACTOR WHAT: status S, OUTCOME (WHY)".
std::string AuditText(const std::string& actor, const std::string& what, int32_t status,
                      const std::string& outcome, const std::string& why);

}  // namespace gateway
