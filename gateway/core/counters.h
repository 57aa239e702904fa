// The counters a line keeps of its transactions, in total and per station;
// read by the reports while the line's thread adds to them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "zortw/zortw.h"

namespace gateway {

struct Counter {
  std::atomic<uint64_t> value{0};
  void Add(uint64_t n = 1) { value.fetch_add(n, std::memory_order_relaxed); }
  uint64_t Get() const { return value.load(std::memory_order_relaxed); }
};

// The last status of a station or line that has had no transaction yet.
inline constexpr int32_t kNoStatusYet = -1;

// Transactions of one station, or of a whole line.
struct StationCounters {
  Counter transactions, failures;
  // Failures by status: a line failure, an invalid reply, a primitive error
  // code of the controller, and a refusal.
  Counter failLine, failInvalid, failPrimitive, failRefused;
  Counter retries;  // failed attempts the driver made again
  std::atomic<int32_t> lastStatus{kNoStatusYet};

  void Count(int32_t status, uint64_t retried) {
    transactions.Add();
    lastStatus = status;
    retries.Add(retried);
    if (status == ZOR_OK) return;
    failures.Add();
    if (status == ZOR_LINE_FAILURE) {
      failLine.Add();
    } else if (status == ZOR_REPLY_INVALID) {
      failInvalid.Add();
    } else if (status == ZOR_REFUSED) {
      failRefused.Add();
    } else {
      failPrimitive.Add();
    }
  }
};

struct LineCounters : StationCounters {
  Counter writes, writeFailures;
  Counter writesNotDone;             // answered 0x0B without being carried out
  Counter downs;                     // times the port was found failed and closed
  std::atomic<uint32_t> cycleMs{0};  // interval between two reads of the first block
  std::atomic<uint64_t> cycles{0};
  std::array<StationCounters, 256> stations;
};

}  // namespace gateway
