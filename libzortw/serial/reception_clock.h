// When the reads after a write may end: the rules both serial backends keep,
// on a clock of milliseconds that each reads for itself (the monotonic
// clock, the tick count).
//
// The reads after a write count their time-out from when the written bytes
// have left the line, their line time after the first wait that follows the
// write. A bound on the whole reception (SerialLimitReception) is counted
// from that moment too. Neither is known before that first wait: the clock
// is read only when a read has to wait, or when a bound is asked about.
#pragma once

#include <cstdint>

class ReceptionClock {
 public:
  // A reading of the clock never taken: a moment not known yet, or no bound.
  static constexpr uint64_t kNone = ~uint64_t{0};

  // The bound on the reception is lifted (a write begins, input is purged).
  constexpr void Lift() {
    limitMs_ = 0;
    end_ = kNone;
  }

  // A write put sent bytes of charUs microseconds each on the line: the
  // moment they have left it is fixed at the first wait that follows.
  constexpr void Wrote(uint32_t charUs, uint32_t sent) {
    outgoingMs_ = static_cast<uint32_t>((uint64_t{charUs} * sent) / 1000);
    writeLeft_ = kNone;
  }

  // The bound of SerialLimitReception: timeouts read time-outs of timeoutMs
  // and the line time of maxBytes characters, at least 1 ms and at most
  // 0xFFFFFFFE ms, from when the last write's bytes have left the line.
  constexpr void Limit(uint32_t timeouts, uint32_t timeoutMs, uint32_t charUs, uint32_t maxBytes) {
    const uint64_t ms = uint64_t{timeouts} * timeoutMs + (uint64_t{charUs} * maxBytes + 999) / 1000;
    limitMs_ = static_cast<uint32_t>(ms == 0 ? 1 : ms < 0xFFFFFFFEu ? ms : 0xFFFFFFFEu);
    end_ = kNone;
  }

  // Whether the moment the last write's bytes leave the line is still to be
  // fixed, and whether a bound is asked for or running: either needs a
  // reading of the clock before the next read.
  constexpr bool WriteLeftUnknown() const { return writeLeft_ == kNone; }
  constexpr bool Bounded() const { return limitMs_ != 0 || end_ != kNone; }

  // Fixes on the clock, read as now, what the last write and Limit left to
  // be counted from the first wait after them.
  constexpr void Start(uint64_t now) {
    if (writeLeft_ == kNone) writeLeft_ = now + outgoingMs_;
    if (limitMs_ != 0) {
      end_ = writeLeft_ + limitMs_;
      limitMs_ = 0;
    }
  }

  // After Start: when the last write's bytes have left the line, and the
  // end of the reception (kNone when it has no bound).
  constexpr uint64_t WriteLeft() const { return writeLeft_; }
  constexpr uint64_t End() const { return end_; }

  // Whether the bound has passed when the clock reads now; true when there
  // is none.
  constexpr bool Over(uint64_t now) {
    if (!Bounded()) return true;
    Start(now);
    return now >= end_;
  }

 private:
  uint32_t outgoingMs_ = 0;     // line time of the last write
  uint64_t writeLeft_ = kNone;  // when its bytes have left the line
  uint32_t limitMs_ = 0;        // a bound asked for, not yet started (0: none)
  uint64_t end_ = kNone;        // the bound on the clock
};
