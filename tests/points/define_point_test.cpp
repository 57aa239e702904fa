// DefinePoint and CheckBlock: address text, host data types, block sizes and
// the first connection of each station.
#include "points/define_point.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/point_records.h"
#include "driver/zormain.h"
#include "tests/fake/fake_line.h"
#include "tests/points/reply_frames.h"
#include "tests/support/log_capture.h"

namespace {

using frames::Wrap;

class DefinitionTest : public ::testing::Test {
 protected:
  DefinitionTest() {
    std::memset(&context, 0, sizeof context);
    SerialHandle handle = 0;
    SerialOpen("COM1", LineSettings{19200, 7, 0, 1}, 8, &handle);
    context.portHandle = handle;
    line.responder = [](const std::string&) { return Wrap("04"); };
  }

  // Runs the command on a fresh PointDefinition whose host fields and
  // address carry a pattern.
  int32_t Run(int32_t command, const char* text, int32_t hostDataType, int32_t count = 0) {
    std::memset(&definition, 0xA5, sizeof definition);
    definition.addressText = text;
    definition.hostDataType = hostDataType;
    definition.elementCount = count;
    ZorRequest request{&context, command, 1, 0, &definition};
    return ZorMain(&request);
  }

  fake::FakeLine line;
  LogCapture log;
  alignas(4) PortContext context;  // as the host allocates it
  PointDefinition definition;
};

struct Accepted {
  const char* text;
  int32_t hostDataType;
  int32_t station;
  char letter;
  uint32_t elementAddress;
  int32_t bitNumber;
  int32_t bitsPerElement;
};

TEST_F(DefinitionTest, DefinePointAccepts) {
  const Accepted cases[] = {
      {"01V0010", 0, 1, 'V', 0x10, 255, 16},     {"0av00ff", 1, 0x0A, 'V', 0xFF, 255, 16},
      {"01V0001A", 6, 1, 'V', 1, 10, 1},         {"02X001F", 6, 2, 'X', 0x1F, 15, 1},
      {"02c0100", 6, 2, 'C', 0x100, 0, 1},       {"FEV0001", 0, 254, 'V', 1, 255, 16},
      {"01V0001", 2, 1, 'V', 1, 255, 16},        {"01vffff0", 6, 1, 'V', 0xFFFF, 0, 1},
      {"10F0010", 0, 0x10, 'F', 0x10, 255, 32},  {"10f0010", 6, 0x10, 'F', 0x10, 255, 32},
      {"10F0010", 99, 0x10, 'F', 0x10, 255, 32},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(Run(ZOR_DEFINE_POINT, c.text, c.hostDataType), 0);
    EXPECT_EQ(definition.address.station, c.station);
    EXPECT_EQ(definition.address.typeLetter, c.letter);
    EXPECT_EQ(definition.address.elementAddress, c.elementAddress);
    EXPECT_EQ(definition.address.bitNumber, c.bitNumber);
    EXPECT_EQ(definition.address.bitsPerElement, c.bitsPerElement);
    EXPECT_EQ(definition.hostField1, 0xA5A5A5A5u);  // the host's own field
    EXPECT_EQ(context.stations[c.station], 1);
  }
}

struct Refused {
  const char* text;
  int32_t hostDataType;
  const char* why;
};

TEST_F(DefinitionTest, DefinePointRefuses) {
  const Refused cases[] = {
      {"01V0001", 6, "a single-bit point needs its bit digit"},
      {"01V0001A", 0, "a word point has no bit digit"},
      {"01V0001", 3, "host data type not allowed for a word point"},
      {"01V0001", -1, "negative host data type"},
      {"02X001F", 0, "discretes need host data type 6"},
      {"02Y00010", 6, "discretes take no bit digit"},
      {"00V0001", 0, "station 0"},
      {"FFV0001", 0, "station 255"},
      {"01V0000", 0, "element address 0"},
      {"01Z0001", 0, "type letter outside the set"},
      {"01V001", 0, "six characters"},
      {"01V00010", 0, "a word point takes no bit digit"},
      {"01V0001G", 6, "the bit digit must be hexadecimal"},
      {"01V0001 ", 0, "last of eight characters not a hex digit"},
      {"", 0, "empty"},
      {"01V0001", 7, "host data type 7"},
      {"01V00010X", 6, "nine characters"},
      {"01V0001\xE1", 6, "0xE1 upper-cases to 0xC1, not a digit"},
      {"0{V0001", 0, "0x7B upper-cases to 0x5B"},
      {"01V0\x01", 0, "control byte"},
      {"01F0011", 0, "F needs an even element address"},
      {"01F00100", 0, "F takes no bit digit"},
      {"01F0010", 7, "host data type 7"},
      {"01V0001000000000000000000000000000", 0, "longer than 32 characters"},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(Run(ZOR_DEFINE_POINT, c.text, c.hostDataType), 1);
  }
  for (uint8_t entry : context.stations) EXPECT_EQ(entry, 0);
  EXPECT_TRUE(line.writes.empty());
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(DefinitionTest, NullTextIsRefused) {
  EXPECT_EQ(Run(ZOR_DEFINE_POINT, nullptr, 0), 1);
}

struct BlockCase {
  const char* text;
  int32_t hostDataType;
  int32_t count;
  int32_t result;
};

TEST_F(DefinitionTest, CheckBlockBoundsTheBlock) {
  const BlockCase cases[] = {
      {"01V0001", 6, 62, 0},         {"01V0001", 6, 63, 1},
      {"01V0001A", 6, 1, 1},         {"02X0001", 0, 124, 0},
      {"02X0001", 0, 125, 1},        {"01V0001", 7, 1, 1},
      {"01V0001", 4, 0, 0},          {"01V0001", 4, -500, 0},
      {"01F0002", 0, 62, 0},  // "F" counts words: 31 values
      {"01F0002", 0, 64, 1},         {"01V0001", 0, 0x7FFFFFFF, 1},
      {"01F0002", 0, 3, 1},  // half a value: every transfer refuses it
      {"02c0001", 3, 2147483647, 1},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " count " + std::to_string(c.count));
    EXPECT_EQ(Run(ZOR_CHECK_BLOCK, c.text, c.hostDataType, c.count), c.result);
  }
}

TEST_F(DefinitionTest, CheckBlockMakesEveryVPointAWord) {
  ASSERT_EQ(Run(ZOR_CHECK_BLOCK, "01V0001", 6, 1), 0);
  EXPECT_EQ(definition.address.bitsPerElement, 16);
  EXPECT_EQ(definition.address.bitNumber, 255);
  ASSERT_EQ(Run(ZOR_CHECK_BLOCK, "01X0013", 1, 1), 0);  // discretes with any host data type but 7
  EXPECT_EQ(definition.address.bitsPerElement, 1);
  EXPECT_EQ(definition.address.bitNumber, 3);
}

TEST_F(DefinitionTest, FirstDefinitionOfAStationConnectsItOnce) {
  EXPECT_EQ(Run(ZOR_DEFINE_POINT, "05V0001", 0), 0);
  EXPECT_EQ(Run(ZOR_DEFINE_POINT, "05X0002", 6), 0);
  EXPECT_EQ(Run(ZOR_CHECK_BLOCK, "05V0003", 0, 10), 0);
  EXPECT_EQ(Run(ZOR_DEFINE_POINT, "fev0001", 0), 0);
  EXPECT_EQ(line.writes, (std::vector<std::string>{":000E0405FBED;", Wrap("04FE")}));
  EXPECT_EQ(context.stations[5], 1);
  EXPECT_EQ(context.stations[254], 1);

  // ColdStart clears the table; the next definition connects again.
  ColdStartParams params{};
  std::strcpy(params.portName, "COM2");
  params.enabled = 1;
  params.readTimeout = 100;
  ZorRequest start{&context, 1, 1, 0, &params};
  ASSERT_EQ(ZorMain(&start), 0);
  EXPECT_EQ(context.stations[5], 0);
  line.writes.clear();
  EXPECT_EQ(Run(ZOR_DEFINE_POINT, "05V0001", 0), 0);
  EXPECT_EQ(line.writes, std::vector<std::string>{":000E0405FBED;"});
}

TEST_F(DefinitionTest, RefusedBlockStillMarksItsStation) {
  EXPECT_EQ(Run(ZOR_CHECK_BLOCK, "01V0001", 6, 63), 1);
  EXPECT_EQ(context.stations[1], 1);
  EXPECT_EQ(line.writes, std::vector<std::string>{Wrap("0401")});
}

TEST_F(DefinitionTest, FailedConnectionDoesNotFailTheDefinition) {
  line.responder = nullptr;  // silence
  EXPECT_EQ(Run(ZOR_DEFINE_POINT, "07V0001", 0), 0);
  EXPECT_EQ(context.stations[7], 1);
  SerialClose(context.portHandle);
  context.portHandle = 0;  // no port at all
  EXPECT_EQ(Run(ZOR_DEFINE_POINT, "08V0001", 0), 0);
  EXPECT_EQ(context.stations[8], 1);
  EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
