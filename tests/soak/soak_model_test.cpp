// The soak judges the driver by these rules: a slip here would report wrong
// data that is not there, or miss it. The rows follow the placement tables
// of docs/driver.md, section 5.
#include "bench/soak/soak_model.h"

#include <gtest/gtest.h>

#include "bench/soak/soak_scan.h"
#include "bench/soak/soak_stats.h"

namespace {

using namespace soak;

struct SlotRow {
  Shape shape;
  bool write;
  std::vector<std::tuple<std::size_t, char, uint32_t, int>> slots;  // index, letter, address, bit
  const char* text;
};

TEST(SoakModel, SlotsFollowThePlacementRules) {
  const SlotRow rows[] = {
      {{Kind::kReadWords, 5, 'V', 0x64, 255, 1}, false, {{1, 'V', 0x64, 255}}, "05V0064"},
      {{Kind::kReadWords, 5, 'V', 0x64, 255, 3},
       false,
       {{0, 'V', 0x64, 255}, {1, 'V', 0x65, 255}, {2, 'V', 0x66, 255}},
       "05V0064"},
      {{Kind::kReadBits, 5, 'V', 0x68, 3, 2},
       false,
       {{1, 'V', 0x68, 3}, {2, 'V', 0x69, 3}},
       "05V00683"},
      {{Kind::kReadFloats, 10, 'F', 0x200, 255, 4},
       false,
       {{0, 'V', 0x201, 255}, {1, 'V', 0x200, 255}, {4, 'V', 0x203, 255}, {5, 'V', 0x202, 255}},
       "0AF0200"},
      {{Kind::kReadDiscretes, 2, 'X', 0x1F, 255, 2},
       false,
       {{1, 'X', 0x1F, 255}, {3, 'X', 0x20, 255}},
       "02X001F"},
      {{Kind::kWriteWords, 5, 'V', 0x100, 255, 2},
       true,
       {{1, 'V', 0x100, 255}, {2, 'V', 0x101, 255}},
       "05V0100"},
      {{Kind::kWriteFloats, 10, 'F', 0x300, 255, 4},
       true,
       {{0, 'V', 0x301, 255}, {1, 'V', 0x300, 255}, {2, 'V', 0x303, 255}, {3, 'V', 0x302, 255}},
       "0AF0300"},
      {{Kind::kWriteDiscretes, 5, 'C', 0x60, 255, 2},
       true,
       {{1, 'C', 0x60, 255}, {2, 'C', 0x61, 255}},
       "05C0060"},
      {{Kind::kWriteBit, 254, 'V', 0x70, 10, 1}, true, {{1, 'V', 0x70, 10}}, "FEV0070A"},
  };
  for (const SlotRow& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(AddressText(row.shape), row.text);
    const std::vector<Slot> slots = row.write ? WriteSlots(row.shape) : ReadSlots(row.shape);
    ASSERT_EQ(slots.size(), row.slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
      EXPECT_EQ(std::make_tuple(slots[i].index, slots[i].letter, slots[i].address, slots[i].bit),
                row.slots[i])
          << i;
    }
  }
  EXPECT_EQ(HostDataType({Kind::kReadWords, 5, 'V', 1, 255, 1}), 0);
  EXPECT_EQ(HostDataType({Kind::kReadFloats, 5, 'F', 2, 255, 2}), 0);
  EXPECT_EQ(HostDataType({Kind::kReadBits, 5, 'V', 1, 0, 1}), 6);
  EXPECT_EQ(HostDataType({Kind::kReadDiscretes, 5, 'Y', 1, 255, 1}), 6);
}

TEST(SoakModel, MemoryTakesWritesAsTheControllerStoresThem) {
  Memory memory;
  EXPECT_EQ(memory.Get(5, 'V', 0x100), 0);  // never written: 0, as in the simulator
  memory.Set(5, 'V', 0x70, 0x00FF);
  const uint16_t clearBit2[] = {0xFFFF, 0xFFFE};  // bit 0 of data[1] decides
  memory.Apply(5, WriteSlots({Kind::kWriteBit, 5, 'V', 0x70, 2, 1}), clearBit2);
  EXPECT_EQ(memory.Get(5, 'V', 0x70), 0x00FB);
  const uint16_t setBit15[] = {0, 3};
  memory.Apply(5, WriteSlots({Kind::kWriteBit, 5, 'V', 0x70, 15, 1}), setBit15);
  EXPECT_EQ(memory.Get(5, 'V', 0x70), 0x80FB);
  EXPECT_EQ(memory.Expected(5, {1, 'V', 0x70, 15}), 1);
  EXPECT_EQ(memory.Expected(5, {1, 'V', 0x70, 2}), 0);

  const uint16_t value[] = {0x5678, 0x1234};  // low word, high word
  memory.Apply(10, WriteSlots({Kind::kWriteFloats, 10, 'F', 0x300, 255, 2}), value);
  EXPECT_EQ(memory.Get(10, 'V', 0x300), 0x1234);  // high word at the lower address
  EXPECT_EQ(memory.Get(10, 'V', 0x301), 0x5678);
  EXPECT_EQ(memory.Get(5, 'V', 0x300), 0);  // other stations untouched

  const uint16_t coils[] = {0xDEAD, 0x0102, 0x0003};  // bit 0 of each low byte is stored
  memory.Apply(5, WriteSlots({Kind::kWriteDiscretes, 5, 'Y', 0x20, 255, 2}), coils);
  EXPECT_EQ(memory.Get(5, 'Y', 0x20), 0);
  EXPECT_EQ(memory.Get(5, 'Y', 0x21), 1);

  const Span bit = WrittenSpan({Kind::kWriteBit, 5, 'V', 0x70, 2, 1});
  EXPECT_EQ(std::make_tuple(bit.letter, bit.address, bit.count), std::make_tuple('V', 0x70u, 1));
  const Span f = WrittenSpan({Kind::kWriteFloats, 5, 'F', 0x300, 255, 4});
  EXPECT_EQ(std::make_tuple(f.letter, f.address, f.count), std::make_tuple('V', 0x300u, 4));
}

TEST(SoakModel, CallBoundCountsAttemptsPausesPurgesAndLineTime) {
  const Shape read62{Kind::kReadWords, 5, 'V', 0x100, 255, 62};
  const Shape write62{Kind::kWriteWords, 5, 'V', 0x100, 255, 62};
  const Shape bit{Kind::kWriteBit, 5, 'V', 0x100, 3, 1};
  const Shape coils{Kind::kWriteDiscretes, 5, 'C', 0x10, 255, 8};
  // The frames of docs/driver.md's worked sizes: 62 words read 30 + 270, written 274 + 22.
  EXPECT_EQ(LineChars(read62)[0].request, 30);
  EXPECT_EQ(LineChars(read62)[0].reply, 270);
  EXPECT_EQ(LineChars(write62)[0].request, 274);
  EXPECT_EQ(LineChars(write62)[0].reply, 22);
  EXPECT_EQ(LineChars(coils)[0].request, 26 + 16);
  ASSERT_EQ(LineChars(bit).size(), 2u);  // read the word, write it back
  EXPECT_EQ(LineChars(bit)[0].reply, 26);
  EXPECT_EQ(LineChars(bit)[1].request, 30);

  // Per exchange a drain window of 2T + Lr, then 3 attempts of
  // T + Lq + Lr + 900 ms; Lr is 591 characters, 307.9 ms at 19200 baud.
  EXPECT_EQ(CallBoundMs(read62, {200, 19200, 10, 1000}),
            1000 + (400 + 308) + 3 * (200 + 16 + 308 + 900));
  EXPECT_EQ(CallBoundMs(write62, {1000, 19200, 10, 0}),
            (2000 + 308) + 3 * (1000 + 143 + 308 + 900));
  EXPECT_EQ(CallBoundMs(bit, {200, 19200, 10, 0}),
            2 * (400 + 308) + 3 * (200 + 16 + 308 + 900) + 3 * (200 + 16 + 308 + 900));
  // No rate, no line time.
  EXPECT_EQ(CallBoundMs(read62, {200, 0, 10, 0}), 400 + 3 * 1100);
  EXPECT_EQ(CallBoundMs(read62, {200, 2400, 10, 0}), (400 + 2463) + 3 * (200 + 125 + 2463 + 900));
}

TEST(SoakStats, MergedCountsSurviveJsonAndDefectsAreTheGatedOnes) {
  Totals a;
  a.soakers = 1;
  a.kinds[0].transactions = 10;
  a.kinds[0].statuses = {{0, 9}, {2, 1}};
  a.kinds[4].failedWriteApplied = 3;  // legitimate: not a defect
  a.seconds = 5;
  Totals b;
  b.soakers = 1;
  b.kinds[0].transactions = 4;
  b.kinds[0].statuses = {{0, 4}};
  b.kinds[7].okWriteNotInMemory = 1;
  b.kinds[1].maxMs = 70;
  b.seconds = 7;
  Totals merged;
  Merge(merged, FromJson(ToJson(a)));
  Merge(merged, FromJson(ToJson(b)));
  EXPECT_EQ(merged.soakers, 2);
  EXPECT_EQ(merged.kinds[0].transactions, 14);
  EXPECT_EQ(merged.kinds[0].statuses, (std::map<int32_t, long>{{0, 13}, {2, 1}}));
  EXPECT_EQ(merged.kinds[4].failedWriteApplied, 3);
  EXPECT_EQ(merged.kinds[1].maxMs, 70);
  EXPECT_EQ(merged.seconds, 7);
  EXPECT_EQ(Defects(merged), 1);
  // Each gated counter is one defect more.
  void (*const bumps[])(Totals&) = {
      [](Totals& t) { ++t.crashes; },
      [](Totals& t) { ++t.kinds[2].wrongData; },
      [](Totals& t) { ++t.kinds[3].failedReadTouched; },
      [](Totals& t) { ++t.kinds[5].failedWriteCorrupt; },
      [](Totals& t) { ++t.kinds[6].guardViolations; },
      [](Totals& t) { ++t.kinds[0].overlongCalls; },
      [](Totals& t) { ++t.kinds[7].wrongWordStored; },
  };
  for (const auto bump : bumps) {
    Totals t = merged;
    bump(t);
    EXPECT_EQ(Defects(t), 2);
  }
}

TEST(SoakScan, ReadsTheBlocksInTurnWithWritesOfTheSameStationBetween) {
  const ScanLayout layout;  // station 05, 8 blocks of 62 words at V0100, V0200 ...
  ScanPattern pattern(layout);
  std::mt19937 rng(11);
  int nextBlock = 0;
  int counts[kKinds] = {};
  Kind before = Kind::kReadWords;
  int runs = 0;
  for (int i = 0; i < 2000; ++i) {
    const Shape s = pattern.Next(rng);
    SCOPED_TRACE(std::to_string(i) + ": " + AddressText(s));
    ++counts[static_cast<int>(s.kind)];
    EXPECT_EQ(s.station, 5);
    EXPECT_EQ(s.letter, 'V');
    // Every element inside one block.
    const uint32_t block = (s.address - 0x100) / 0x100;
    ASSERT_LT(block, 8u);
    EXPECT_LE(s.address + static_cast<uint32_t>(s.count), layout.BlockAddress(block) + 62);
    switch (s.kind) {
      case Kind::kReadWords:
        EXPECT_EQ(s.address, layout.BlockAddress(nextBlock));
        EXPECT_EQ(s.count, 62);
        nextBlock = (nextBlock + 1) % 8;
        break;
      case Kind::kWriteBit:
        EXPECT_NE(before, Kind::kWriteWords);
        EXPECT_LE(s.bit, 15);
        EXPECT_EQ(s.count, 1);
        break;
      case Kind::kWriteWords:
        EXPECT_GE(s.count, 1);
        break;
      default:
        ADD_FAILURE() << "a kind the scan does not send";
    }
    if (s.kind == before && s.kind != Kind::kReadWords) ++runs;
    before = s.kind;
  }
  // Per read: 1/2 x 4/3 bit writes (a quarter of them followed by another),
  // (1/2 x 1/8 + 1/2 x 1/8) x 4/3 block writes.
  const int reads = counts[static_cast<int>(Kind::kReadWords)];
  EXPECT_NEAR(counts[static_cast<int>(Kind::kWriteBit)], reads * 2 / 3, reads / 10);
  EXPECT_NEAR(counts[static_cast<int>(Kind::kWriteWords)], reads / 6, reads / 20);
  EXPECT_GT(runs, reads / 10);  // writes of the same kind in a row
}

TEST(SoakScan, TellsWhichTransfersALateReplyCouldPassFor) {
  const Shape read62{Kind::kReadWords, 5, 'V', 0x100, 255, 62};
  const Shape read62b{Kind::kReadWords, 5, 'V', 0x200, 255, 62};
  const Shape read4{Kind::kReadWords, 5, 'V', 0x200, 255, 4};
  const Shape read62other{Kind::kReadWords, 6, 'V', 0x200, 255, 62};
  const Shape write4{Kind::kWriteWords, 5, 'V', 0x400, 255, 4};
  const Shape write1{Kind::kWriteWords, 5, 'V', 0x400, 255, 1};
  const Shape bit{Kind::kWriteBit, 5, 'V', 0x500, 3, 1};
  const Shape read1{Kind::kReadWords, 5, 'V', 0x600, 255, 1};
  const Shape coils8{Kind::kReadDiscretes, 5, 'C', 0x10, 255, 8};
  const Shape floats{Kind::kReadFloats, 5, 'F', 0x100, 255, 4};
  const struct {
    Shape before, after;
    bool same;
  } rows[] = {
      {read62, read62b, true},                         // the next block
      {read62, read4, false},                          // another length
      {read62, read62other, false},                    // another station
      {write4, write1, true},                          // a write reply carries no data
      {write4, read62, false},      {bit, bit, true},  // its read step or its write step
      {read1, bit, true},                              // the bit write's read of one word
      {bit, read62, false},         {bit, write1, true},
      {coils8, read4, true},  // 8 discretes and 4 words: 16 characters of data
      {floats, read4, true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(SameReplyShape(row.before, row.after), row.same)
        << AddressText(row.before) << " x" << row.before.count << " then " << AddressText(row.after)
        << " x" << row.after.count;
  }
}

TEST(SoakScan, RecognisesAnotherBlocksWords) {
  ScanLayout layout;
  layout.blocks = 3;
  layout.words = 4;
  Memory memory;
  for (int block = 0; block < 3; ++block) {
    for (uint32_t k = 0; k < 4; ++k) {
      memory.Set(5, 'V', layout.BlockAddress(block) + k, static_cast<uint16_t>(0x1000 * block + k));
    }
  }
  const Shape readBlock1{Kind::kReadWords, 5, 'V', layout.BlockAddress(1), 255, 4};
  EXPECT_EQ(OtherBlockHolding(layout, memory, readBlock1, {0x2000, 0x2001, 0x2002, 0x2003}), 2);
  EXPECT_EQ(OtherBlockHolding(layout, memory, readBlock1, {0, 1, 2, 3}), 0);
  // Its own words are no other block's; neither are words no block holds.
  EXPECT_EQ(OtherBlockHolding(layout, memory, readBlock1, {0x1000, 0x1001, 0x1002, 0x1003}), -1);
  EXPECT_EQ(OtherBlockHolding(layout, memory, readBlock1, {0x2000, 0x2001, 0x2002, 0x9999}), -1);
  EXPECT_EQ(OtherBlockHolding(layout, memory, readBlock1, {0x2000, 0x2001}), -1);
}

}  // namespace
