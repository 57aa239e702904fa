// Block reads and writes: frames, retries, the placement of elements in the
// host's array (guard words all around) and the single-bit write.
#include "points/block_transfer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/point_records.h"
#include "driver/zormain.h"
#include "nitp/transact.h"
#include "tests/fake/fake_line.h"
#include "tests/points/reply_frames.h"
#include "tests/support/log_capture.h"

namespace {

using frames::PrimitiveError;
using frames::PrimitiveReply;
using frames::Wrap;
using frames::WriteReply;
using Strings = std::vector<std::string>;

constexpr uint16_t kGuard = 0xEEEE;
constexpr size_t kLead = 4;  // guard words in front of the host's data[0]
using Memory = std::array<uint16_t, 160>;

class BlockTest : public ::testing::Test {
 protected:
  BlockTest() {
    std::memset(&context, 0, sizeof context);
    SerialHandle handle = 0;
    SerialOpen("COM1", LineSettings{19200, 7, 0, 1}, 8, &handle);
    context.portHandle = handle;
    context.ready = 1;
    memory.fill(kGuard);
    std::memset(&block, 0x5C, sizeof block);
    block.data = memory.data() + kLead;
  }

  void Point(int32_t station, char letter, uint32_t elementAddress, int32_t bitNumber, int32_t bits,
             int32_t count) {
    block.address = PointAddress{station, letter, elementAddress, bitNumber, bits};
    block.elementCount = count;
  }
  void Words(int32_t count) { Point(5, 'V', 0x64, 255, 16, count); }

  int32_t Run(int32_t command) {
    ZorRequest request{&context, command, 3, 0, &block};
    return ZorMain(&request);
  }

  // The host's array as expected: guards everywhere but the given words.
  Memory Expect(const std::map<size_t, uint16_t>& words) const {
    Memory expected;
    expected.fill(kGuard);
    for (auto [index, value] : words) expected[kLead + index] = value;
    return expected;
  }

  fake::FakeLine line;
  LogCapture log;
  alignas(4) PortContext context;  // as the host allocates it
  Memory memory;
  BlockRequest block;
};

TEST_F(BlockTest, ReadOfWordsSendsTheReadFrame) {
  Words(4);
  line.Reply(PrimitiveReply(5,
                            "0001"
                            "0002"
                            "0003"
                            "0004"));
  EXPECT_EQ(Run(ZOR_READ_BLOCK), 0);
  EXPECT_EQ(line.writes, Strings{":001E01050006200100040064DE6E;"});
  EXPECT_EQ(memory, Expect({{0, 1}, {1, 2}, {2, 3}, {3, 4}}));
}

TEST_F(BlockTest, ReadPlacement) {
  struct Case {
    const char* name;
    char letter;
    int32_t bitNumber;
    int32_t bits;
    int32_t count;
    std::string field;
    std::map<size_t, uint16_t> stored;
  };
  const Case cases[] = {
      {"one word goes to data[1]", 'V', 255, 16, 1, "002A", {{1, 0x2A}}},
      {"word blocks fill from data[0]",
       'V',
       255,
       16,
       3,
       "00010002FFFF",
       {{0, 1}, {1, 2}, {2, 0xFFFF}}},
      {"bit 3 of 0008", 'V', 3, 1, 1, "0008", {{1, 1}}},
      {"bit 3 of 0007", 'V', 3, 1, 1, "0007", {{1, 0}}},
      {"bits go from data[1] on", 'V', 15, 1, 2, "80007FFF", {{1, 1}, {2, 0}}},
      {"discretes every second word", 'X', 0, 1, 2, "0100", {{1, 1}, {3, 0}}},
      {"discretes keep bit 0", 'C', 0, 1, 3, "03FE0F", {{1, 1}, {3, 0}, {5, 1}}},
      {"one F value", 'F', 255, 32, 2, "12345678", {{1, 0x1234}, {0, 0x5678}}},
      {"F values four words apart",
       'F',
       255,
       32,
       4,
       "123456789ABCDEF0",
       {{1, 0x1234}, {0, 0x5678}, {5, 0x9ABC}, {4, 0xDEF0}}},
      {"count 0 stores nothing", 'V', 255, 16, 0, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    memory.fill(kGuard);
    line.writes.clear();
    Point(5, c.letter, 0x10, c.bitNumber, c.bits, c.count);
    line.Reply(PrimitiveReply(5, c.field));
    const BlockRequest before = block;
    EXPECT_EQ(Run(ZOR_READ_BLOCK), 0);
    EXPECT_EQ(std::memcmp(&before, &block, sizeof block), 0);
    EXPECT_EQ(memory, Expect(c.stored));
    EXPECT_EQ(line.writes.size(), 1u);
  }
}

TEST_F(BlockTest, RetriesUntilAGoodReply) {
  Words(1);
  line.Silence();
  line.Reply(Wrap("0105000020010001").substr(0, 12) + "XXXX;");  // corrupted
  line.Reply(PrimitiveReply(5, "1234"));
  EXPECT_EQ(Run(ZOR_READ_BLOCK), 0);
  EXPECT_EQ(line.writes.size(), 3u);
  EXPECT_EQ(line.writes[0], line.writes[2]);  // the same frame each time
  EXPECT_EQ(memory, Expect({{1, 0x1234}}));
}

TEST_F(BlockTest, ThreeFailuresGiveTheLastCode) {
  Words(1);
  line.Reply(PrimitiveError(5, 0x0101));
  line.Reply(PrimitiveError(5, 0x0102));
  line.Reply(PrimitiveError(5, 0x0103));
  EXPECT_EQ(Run(ZOR_READ_BLOCK), 0x0103);
  EXPECT_EQ(line.writes.size(), 3u);
  EXPECT_EQ(log.Lines().back(), "ZOR03: TW: CheckReply() - primitive error: 0103");
  EXPECT_EQ(memory, Expect({}));

  line.writes.clear();
  line.Reply(PrimitiveError(5, 0x0101));
  line.Reply(PrimitiveError(5, 0x0102));
  line.Silence();
  EXPECT_EQ(Run(ZOR_READ_BLOCK), 2);  // a failed exchange counts as 2
  EXPECT_EQ(line.writes.size(), 3u);
  EXPECT_EQ(memory, Expect({}));
}

// A reply whose data field is shorter or longer than the count asks for,
// or that comes from another station, answers another request: a failed
// attempt, and the host's array is untouched.
TEST_F(BlockTest, ReplyToAnotherRequestIsAFailedAttempt) {
  Words(3);
  line.Reply(PrimitiveReply(5, "00010002"));
  line.Reply(PrimitiveReply(5, "0001000200030004"));
  line.Reply(PrimitiveReply(6, "000100020003"));
  EXPECT_EQ(Run(ZOR_READ_BLOCK), ReplyInvalid);
  EXPECT_EQ(line.writes.size(), 3u);
  EXPECT_EQ(memory, Expect({}));
  EXPECT_EQ(log.Lines(), Strings(3, "ZOR03: TW: CheckReply() - reply does not answer the request"));

  // A write answered by a read reply (a late one) has not been confirmed.
  line.writes.clear();
  Words(1);
  for (int i = 0; i < 3; ++i) line.Reply(PrimitiveReply(5, "1111"));
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK), ReplyInvalid);
  EXPECT_EQ(line.writes.size(), 3u);

  // A short reply followed by a whole one is fine.
  line.writes.clear();
  Point(5, 'F', 0x10, 255, 32, 4);
  line.Reply(PrimitiveReply(5, "12345678"));
  line.Reply(PrimitiveReply(5, "123456789ABCDEF0"));
  EXPECT_EQ(Run(ZOR_READ_BLOCK), 0);
  EXPECT_EQ(line.writes.size(), 2u);
}

TEST_F(BlockTest, ReadyZeroRefusesTheCheckedCommands) {
  context.ready = 0;
  Words(1);
  EXPECT_EQ(Run(ZOR_READ_BLOCK), 1);
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK), 1);
  EXPECT_TRUE(line.writes.empty());
  line.Reply(PrimitiveReply(5, "0009"));
  EXPECT_EQ(Run(ZOR_READ_BLOCK_UNCHECKED), 0);
  EXPECT_EQ(memory, Expect({{1, 9}}));
}

TEST_F(BlockTest, UndefinedTransfersAreRefusedBeforeSending) {
  struct Case {
    const char* name;
    int command;
    PointAddress address;
    int32_t count;
  };
  const Case cases[] = {
      {"unknown letter, read", ZOR_READ_BLOCK, {5, 'Q', 1, 255, 16}, 1},
      {"unknown letter, write", ZOR_WRITE_BLOCK, {5, 'Q', 1, 255, 16}, 1},
      {"width 8, read", ZOR_READ_BLOCK, {5, 'V', 1, 255, 8}, 1},
      {"width 8, write", ZOR_WRITE_BLOCK, {5, 'X', 1, 0, 8}, 1},
      {"odd F read", ZOR_READ_BLOCK, {5, 'F', 2, 255, 32}, 3},
      {"odd F write", ZOR_WRITE_BLOCK, {5, 'F', 2, 255, 32}, 1},
      // An "F" write of 16-bit width would take n+1 words of an n-word array.
      {"F of width 16, write", ZOR_WRITE_BLOCK, {5, 'F', 2, 255, 16}, 2},
      {"F of width 1, write", ZOR_WRITE_BLOCK_UNCHECKED, {5, 'F', 2, 255, 1}, 4},
      {"F of width 16, read", ZOR_READ_BLOCK, {5, 'F', 2, 255, 16}, 2},
      {"bit number 16, read", ZOR_READ_BLOCK, {5, 'V', 1, 16, 1}, 1},
      {"bit number -1, write", ZOR_WRITE_BLOCK, {5, 'V', 1, -1, 1}, 1},
      {"single-bit write of two", ZOR_WRITE_BLOCK, {5, 'V', 1, 3, 1}, 2},
      {"single-bit write of none", ZOR_WRITE_BLOCK_UNCHECKED, {5, 'V', 1, 3, 1}, 0},
      {"141 words do not fit a frame", ZOR_WRITE_BLOCK, {5, 'V', 1, 255, 16}, 141},
      {"negative write count", ZOR_WRITE_BLOCK, {5, 'V', 1, 255, 16}, -1},
      // A read whose reply could not be received whole is refused like a
      // write that cannot be sent; a negative count is no count at all.
      {"negative read count", ZOR_READ_BLOCK, {5, 'V', 1, 255, 16}, -1},
      {"negative discrete read", ZOR_READ_BLOCK_UNCHECKED, {5, 'Y', 1, 0, 1}, -3},
      {"142 words do not fit a reply", ZOR_READ_BLOCK, {5, 'V', 1, 255, 16}, 142},
      {"284 discretes do not fit a reply", ZOR_READ_BLOCK, {5, 'X', 1, 0, 1}, 284},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    block.address = c.address;
    block.elementCount = c.count;
    EXPECT_EQ(Run(c.command), 1);
  }
  block.address = PointAddress{5, 'V', 1, 3, 1};
  block.elementCount = 1;
  block.data = nullptr;  // no array to take the bit from or to read into
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK), 1);
  EXPECT_EQ(Run(ZOR_READ_BLOCK), 1);
  EXPECT_TRUE(line.writes.empty());
  EXPECT_EQ(memory, Expect({}));
}

TEST_F(BlockTest, WritePlacementAndFrames) {
  for (size_t i = 0; i < 8; ++i) block.data[i] = static_cast<uint16_t>(0x1111 * (i + 1));
  block.data[0] = 0x1234;
  block.data[1] = 0x1234;
  const Memory before = memory;

  Words(1);
  line.Reply(WriteReply(5));
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK), 0);
  EXPECT_EQ(line.writes.back(), ":001E01050006300100641234BC3E;");

  Words(2);  // data[1] and data[2]; data[0] is not sent
  line.Reply(WriteReply(5));
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK), 0);
  EXPECT_EQ(line.writes.back(), Wrap("01050008300100641234"
                                     "3333"));

  Point(5, 'F', 0x64, 255, 32, 4);  // data[1], data[0], data[3], data[2]
  line.Reply(WriteReply(5));
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK), 0);
  EXPECT_EQ(line.writes.back(), Wrap("0105000C30010064"
                                     "12341234"
                                     "44443333"));

  block.data[1] = 1;
  block.data[2] = 0;
  block.data[3] = 1;
  Point(5, 'X', 0x10, 0, 1, 3);
  line.Reply(WriteReply(5));
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK), 0);
  EXPECT_EQ(line.writes.back(), ":00200105000730030010010001CCC1;");

  Words(140);  // the largest block whose frame fits
  line.Reply(WriteReply(5));
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK_UNCHECKED), 0);
  EXPECT_EQ(line.writes.back().size(), 586u);

  // A write never stores into the host's array.
  Memory after = before;
  after[kLead + 1] = 1;
  after[kLead + 2] = 0;
  after[kLead + 3] = 1;
  EXPECT_EQ(memory, after);
}

TEST_F(BlockTest, WriteRetriesAndReportsTheLastCode) {
  Words(1);
  line.Reply(Wrap("00"));
  line.Silence();
  line.Reply(WriteReply(5));
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK), 0);
  EXPECT_EQ(line.writes.size(), 3u);

  line.writes.clear();
  line.Reply(PrimitiveError(5, 0x0201));
  line.Reply(PrimitiveError(5, 0x0202));
  line.Reply(Wrap("00"));
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK), 2);
  EXPECT_EQ(line.writes.size(), 3u);
}

struct BitWrite {
  int32_t bitNumber;
  uint16_t hostWord;
  const char* controllerWord;
  const char* sent;
};

TEST_F(BlockTest, SingleBitWriteReadsModifiesAndWrites) {
  for (BitWrite c : {BitWrite{10, 1, "0001", "0401"}, BitWrite{2, 2, "00FF", "00FB"},
                     BitWrite{15, 0xFFFF, "0000", "8000"}, BitWrite{0, 0, "0001", "0000"}}) {
    SCOPED_TRACE(c.sent);
    line.writes.clear();
    memory.fill(kGuard);
    block.data[1] = c.hostWord;
    Point(5, 'V', 0x64, c.bitNumber, 1, 1);
    const BlockRequest before = block;
    const Memory memoryBefore = memory;
    line.Reply(PrimitiveReply(5, c.controllerWord));
    line.Reply(WriteReply(5));
    EXPECT_EQ(Run(ZOR_WRITE_BLOCK), 0);
    EXPECT_EQ(line.writes, (Strings{Wrap("01050006200100010064"),
                                    Wrap(std::string("0105000630010064") + c.sent)}));
    EXPECT_EQ(std::memcmp(&before, &block, sizeof block), 0);
    EXPECT_EQ(memory, memoryBefore);
  }
}

TEST_F(BlockTest, FailedBitReadSendsNoWrite) {
  block.data[1] = 1;
  Point(5, 'V', 0x64, 4, 1, 1);
  const BlockRequest before = block;
  line.Reply(PrimitiveError(5, 0x0101));
  line.Reply(PrimitiveError(5, 0x0102));
  line.Reply(PrimitiveError(5, 0x0103));
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK), 0x0103);
  EXPECT_EQ(line.writes.size(), 3u);
  for (const std::string& frame : line.writes) EXPECT_EQ(frame.substr(13, 4), "2001");
  EXPECT_EQ(std::memcmp(&before, &block, sizeof block), 0);

  // The read step is a checked read even under the unchecked write.
  line.writes.clear();
  context.ready = 0;
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK_UNCHECKED), 1);
  EXPECT_TRUE(line.writes.empty());
  EXPECT_EQ(std::memcmp(&before, &block, sizeof block), 0);
}

TEST_F(BlockTest, WholeWordWriteUnderWriteBlockUncheckedNeedsNoReady) {
  context.ready = 0;
  block.data[1] = 0xBEEF;
  Words(1);
  line.Reply(WriteReply(5));
  EXPECT_EQ(Run(ZOR_WRITE_BLOCK_UNCHECKED), 0);
  EXPECT_EQ(line.writes, Strings{Wrap("0105000630010064BEEF")});
}

TEST_F(BlockTest, BlockTransfersUseTheContextBuffers) {
  Words(1);
  const std::string reply = PrimitiveReply(5, "0042");
  line.Reply(reply);
  ASSERT_EQ(Run(ZOR_READ_BLOCK), 0);
  EXPECT_EQ(std::string(context.requestFrame), Wrap("01050006200100010064"));
  EXPECT_EQ(std::string(context.replyBuffer), reply);
}

}  // namespace
