#include "sim_pace.h"

namespace tiway_sim {

std::chrono::nanoseconds LinePace::Span(uint64_t characters) const {
  if (baud == 0) return std::chrono::nanoseconds(0);
  return std::chrono::nanoseconds(characters * bitsPerCharacter * 1'000'000'000ull / baud);
}

uint64_t LinePace::CharactersIn(Clock::duration elapsed) const {
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  if (baud == 0 || ns <= 0) return 0;
  return static_cast<uint64_t>(ns) * baud / (bitsPerCharacter * 1'000'000'000ull);
}

uint32_t BitsPerCharacter(int dataBits, char parity, int stopBits) {
  return 1 + static_cast<uint32_t>(dataBits) + (parity == 'N' ? 0 : 1) +
         static_cast<uint32_t>(stopBits);
}

Clock::time_point LineInput::Arrive(Clock::time_point readAt) {
  if (!pace_.Paced()) return readAt;
  // A byte read after the run's characters have all arrived starts a new run.
  if (runCount_ == 0 || readAt > runStart_ + pace_.Span(runCount_)) {
    runStart_ = readAt;
    runCount_ = 0;
  }
  ++runCount_;
  return runStart_ + pace_.Span(runCount_);
}

}  // namespace tiway_sim
