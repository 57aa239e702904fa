// The timing of a serial line, for pacing a pseudo-terminal like a real
// line: character times and when received characters would have arrived.
// Arithmetic only, no I/O.
#pragma once

#include <chrono>
#include <cstdint>

namespace tiway_sim {

using Clock = std::chrono::steady_clock;

// The rate of a paced line: bits per second and bits per character (start
// bit, data bits, parity bit if any, stop bits). Unpaced when baud is 0.
struct LinePace {
  uint32_t baud = 0;
  uint32_t bitsPerCharacter = 10;

  bool Paced() const { return baud > 0; }
  // The time `characters` take on the line, computed whole from the count so
  // that long runs do not drift (520.83 us a character at 19200, 10 bits).
  std::chrono::nanoseconds Span(uint64_t characters) const;
  // How many whole characters fit in `elapsed`.
  uint64_t CharactersIn(Clock::duration elapsed) const;
};

// Start bit + data bits + parity + stop bits: 10 for 7O1 and 8N1, 11 for 8O1
// or 7O2.
uint32_t BitsPerCharacter(int dataBits, char parity, int stopBits);

// The receiving side of a paced line. A driver's write lands on the pty at
// once; on a real line its characters arrive one character time after
// another, counting from the first one's arrival. Arrive gives the moment a
// byte read at `readAt` has wholly arrived: characters queue behind those
// still on their way.
class LineInput {
 public:
  explicit LineInput(LinePace pace) : pace_(pace) {}
  Clock::time_point Arrive(Clock::time_point readAt);

 private:
  LinePace pace_;
  Clock::time_point runStart_{};  // when the current run of characters began
  uint64_t runCount_ = 0;         // characters in the run so far
};

}  // namespace tiway_sim
