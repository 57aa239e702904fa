// The line's timing that paces the simulator's pty: bits per character,
// character times without drift, and when received characters have arrived.
#include "sim_pace.h"

#include <gtest/gtest.h>

namespace tiway_sim {
namespace {

using namespace std::chrono_literals;

TEST(LinePace, BitsPerCharacterFollowTheLineSettings) {
  const struct {
    int dataBits;
    char parity;
    int stopBits;
    uint32_t bits;
  } cases[] = {{7, 'O', 1, 10}, {8, 'N', 1, 10}, {7, 'E', 1, 10}, {8, 'O', 1, 11},
               {7, 'O', 2, 11}, {8, 'N', 2, 11}, {8, 'E', 2, 12}};
  for (const auto& c : cases) {
    EXPECT_EQ(BitsPerCharacter(c.dataBits, c.parity, c.stopBits), c.bits)
        << c.dataBits << c.parity << c.stopBits;
  }
}

TEST(LinePace, SpansAreExactOverLongRuns) {
  const LinePace pace{19200, 10};
  EXPECT_EQ(pace.Span(1), 520833ns);
  // Not 270 times the rounded character time (140.62491 ms): no drift.
  EXPECT_EQ(pace.Span(270), 140625us);
  EXPECT_EQ(pace.Span(300), 156250us);
  EXPECT_EQ((LinePace{9600, 11}.Span(96)), 110ms);
  EXPECT_EQ(pace.CharactersIn(pace.Span(270)), 270u);
  EXPECT_EQ(pace.CharactersIn(pace.Span(270) - 1ns), 269u);
  EXPECT_EQ(pace.CharactersIn(-1ms), 0u);
  EXPECT_FALSE(LinePace{}.Paced());
  EXPECT_EQ(LinePace{}.Span(270), 0ns);
}

TEST(LineInput, CharactersArriveOneCharacterTimeApartFromTheFirst) {
  const LinePace pace{19200, 10};
  LineInput input(pace);
  const Clock::time_point t0{1s};
  // A 30-character request written at once: its last character has
  // arrived 30 character times after the first began.
  Clock::time_point last{};
  for (int i = 0; i < 30; ++i) last = input.Arrive(t0);
  EXPECT_EQ(last, t0 + pace.Span(30));
  // Read while the run is still on its way: it queues behind it.
  EXPECT_EQ(input.Arrive(t0 + 1ms), t0 + pace.Span(31));
  // Read after the run has arrived: a new run starts from its reading.
  const Clock::time_point t1 = t0 + 100ms;
  EXPECT_EQ(input.Arrive(t1), t1 + pace.Span(1));
  EXPECT_EQ(input.Arrive(t1), t1 + pace.Span(2));
  LineInput unpaced{LinePace{}};
  EXPECT_EQ(unpaced.Arrive(t1), t1);
}

}  // namespace
}  // namespace tiway_sim
