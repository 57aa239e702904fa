// Tags: the tag file's refusals (FILE:LINE:COLUMN), the conversions both
// ways for every type, and the tags' words in the poll plan.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "gateway/config/config.h"
#include "gateway/config/reader.h"
#include "gateway/core/plan.h"
#include "gateway/core/tags.h"

namespace gateway {
namespace {

Config TwoUnits() {
  ConfigResult r = ParseConfig(R"([[line]]
name = "a"
port = "/tmp/x"
[[unit]]
id = 1
line = "a"
station = 5
name = "boiler"
poll_ms = 500
[[unit.holding]]
address = 0
count = 4
v = 0x64
[[unit]]
id = 2
line = "a"
station = 10
[[unit.coil]]
address = 0
count = 1
y = 1
)",
                               "t.toml");
  EXPECT_TRUE(r.config) << r.error;
  return *r.config;
}

// Reads `csv` as the tag file of TwoUnits(): "" or the refusal.
std::string ReadTagsOf(const std::string& csv, Config& config) {
  config = TwoUnits();
  try {
    parse::ReadTagText(csv, "tags.csv", config);
  } catch (const parse::FileRefusal& r) {
    return r.message;
  }
  return "";
}

TEST(GatewayTags, TheTagFileIsRefusedWithFileLineColumnAndReason) {
  const std::string head = "device,name,address,type,raw_low,raw_high,eng_low,eng_high,writable\n";
  struct Case {
    std::string csv;
    const char* error;  // "" when the file is good
  };
  const Case cases[] = {
      {head + "boiler,Drum/Level,V0064,uint16,0,4095,0,100,true\n"
              "a-0A,\"Pump, \"\"main\"\"\",Y0001,,,,,,\n"
              "boiler,Total,V0065,int32,,,,,\n",
       ""},
      {"device,name,addr\n", "tags.csv:1:13: unknown column 'addr'"},
      {"device,name\n", "tags.csv:1:1: the header has no 'address' column"},
      {head + "pump,X,V0064,uint16\n", "tags.csv:2:1: no unit has the device id 'pump'"},
      {head + "boiler,A,V0064\nboiler,A,V0065\n",
       "tags.csv:3:8: name 'A' is used twice for device 'boiler' (first at line 2)"},
      {head + "boiler,A/,V0064\n", "tags.csv:2:8: name 'A/' has an empty folder"},
      {head + "boiler,A,W0064\n", "tags.csv:2:10: address 'W0064' is not a point"},
      {head + "boiler,A,X0010,uint16\n",
       "tags.csv:2:16: type uint16 does not fit: X0010 is a "
       "discrete"},
      {head + "boiler,A,V0010,bool\n", "tags.csv:2:16: type bool does not fit: V0010 is a word"},
      {head + "boiler,A,F0201\n", "tags.csv:2:10: F values start at even addresses"},
      {head + "boiler,A,F0200,int32\n", "tags.csv:2:16: type int32 does not fit"},
      {head + "boiler,A,V0064.16\n", "tags.csv:2:10: bit 16 is outside 0..15"},
      {head + "boiler,A,VFFFF,uint32\n", "tags.csv:2:10: the second word of VFFFF is beyond FFFF"},
      {head + "boiler,A,V0064,uint16,0,10,0\n", "tags.csv:2:30: scaling needs all four"},
      {head + "boiler,A,V0064,uint16,5,5,0,1\n", "tags.csv:2:25: raw_low and raw_high are equal"},
      {head + "boiler,A,V0064,bcd16,,,,,yes\n", "tags.csv:2:26: writable 'yes' is not true"},
      {head + "boiler,A,X0001,bool,,,,,true\n", "tags.csv:2:25: X inputs cannot be written"},
      {head + "boiler,A,V0064,uint16,x\n", "tags.csv:2:23: raw_low 'x' is not a number"},
      {head + "boiler,\"A\"B,V0064\n", "tags.csv:2:11: text after the closing quote"},
      {head + "boiler,A\"B,V0064\n", "tags.csv:2:9: a quote inside an unquoted field"},
      {head + "boiler,\"A,V0064\n", "tags.csv:2:8: the quoted field is not closed"},
      {head + "boiler,A\xFF,V0064\n", "tags.csv:2:9: bytes that are not UTF-8"},
      {head + "boiler,A,V0064,uint16,,,,,,extra\n", "tags.csv:2:28: the row has 10 fields"},
  };
  for (const Case& c : cases) {
    Config config;
    const std::string error = ReadTagsOf(c.csv, config);
    if (*c.error == '\0') {
      EXPECT_EQ(error, "") << c.csv;
    } else {
      EXPECT_EQ(error.substr(0, std::strlen(c.error)), c.error) << c.csv;
    }
  }
}

TEST(GatewayTags, RowsKeepTheirFieldsAndDefaults) {
  Config config;
  // Columns in any order, a quoted name over two lines, CRLF, UTF-8 text.
  ASSERT_EQ(ReadTagsOf("name,address,device,units,poll_ms\r\n"
                       "\"Kessel 1/Füllstand\nneu\",V0066,boiler,%,\r\n"
                       "Motor,Y0001,a-0A,,2000\r\n",
                       config),
            "");
  ASSERT_EQ(config.units[0].tags.size(), 1u);
  const Tag& level = config.units[0].tags[0];
  EXPECT_EQ(level.name, "Kessel 1/Füllstand\nneu");
  EXPECT_EQ(level.type, TagType::UInt16);
  EXPECT_EQ(level.units, "%");
  EXPECT_EQ(level.pollMs, 500u);  // the unit's
  EXPECT_EQ(level.sourceLine, 2);
  const Tag& motor = config.units[1].tags.at(0);
  EXPECT_EQ(motor.type, TagType::Bool);
  EXPECT_EQ(motor.pollMs, 2000u);
}

Tag Make(TagType type, bool lowFirst = false) {
  Tag t;
  t.type = type;
  t.lowWordFirst = lowFirst;
  return t;
}
Tag Scaled(TagType type, double rl, double rh, double el, double eh, bool clamp) {
  Tag t = Make(type);
  t.scaled = true;
  t.rawLow = rl;
  t.rawHigh = rh;
  t.engLow = el;
  t.engHigh = eh;
  t.clamp = clamp;
  return t;
}

TEST(GatewayTags, ConversionsBothWays) {
  Tag bit = Make(TagType::Bool);
  bit.bit = 3;
  struct Case {
    Tag tag;
    std::vector<uint16_t> words;
    double value;
    bool good;
    bool writesBack;  // Encode(value) gives `words` again
  };
  const Case cases[] = {
      {bit, {0x0008}, 1, true, false},  // a bit write carries 0/1, not the word
      {Make(TagType::UInt16), {0xFFFF}, 65535, true, true},
      {Make(TagType::Int16), {0xFFFE}, -2, true, true},
      {Make(TagType::UInt32), {0x0001, 0x0002}, 65538, true, true},
      {Make(TagType::UInt32, true), {0x0002, 0x0001}, 65538, true, true},
      {Make(TagType::Int32), {0xFFFF, 0xFFFE}, -2, true, true},
      {Make(TagType::Int32, true), {0xFFFE, 0xFFFF}, -2, true, true},
      {Make(TagType::Float), {0x4049, 0x0FDB}, static_cast<double>(3.14159274f), true, true},
      {Make(TagType::Float, true), {0x0FDB, 0x4049}, static_cast<double>(3.14159274f), true, true},
      {Make(TagType::Bcd16), {0x1234}, 1234, true, true},
      {Make(TagType::Bcd16), {0x12A4}, 0, false, false},  // a digit above 9: bad, never a number
      {Make(TagType::Bcd32), {0x0012, 0x3456}, 123456, true, true},
      {Make(TagType::Bcd32, true), {0x3456, 0x0012}, 123456, true, true},
      {Make(TagType::Bcd32), {0x0012, 0x345F}, 0, false, false},
      {Scaled(TagType::UInt16, 0, 4000, 0, 100, false), {2000}, 50, true, true},
      {Scaled(TagType::UInt16, 0, 4000, 0, 100, false), {4400}, 110, true, false},
      {Scaled(TagType::UInt16, 0, 4000, 0, 100, true), {4400}, 100, true, false},
      {Scaled(TagType::Int16, -100, 100, 100, -100, true),
       {static_cast<uint16_t>(-50)},
       50,
       true,
       true},
      {Scaled(TagType::Bcd16, 0, 9999, 0, 999.9, false), {0x0150}, 15, true, true},
  };
  for (const Case& c : cases) {
    const TagReading r = Decode(c.tag, c.words);
    EXPECT_EQ(r.good, c.good) << TagTypeName(c.tag.type) << " " << c.words[0];
    if (c.good) {
      EXPECT_NEAR(r.value, c.value, 1e-9) << TagTypeName(c.tag.type) << " " << c.words[0];
    }
    if (!c.writesBack) continue;
    std::string error;
    const auto words = Encode(c.tag, c.value, error);
    ASSERT_TRUE(words) << error;
    EXPECT_EQ(*words, c.words) << TagTypeName(c.tag.type);
  }
}

TEST(GatewayTags, WritesOutOfRangeOrNotWholeAreRefused) {
  struct Case {
    Tag tag;
    double value;
    const char* error;
  };
  const Case cases[] = {
      {Scaled(TagType::UInt16, 0, 4000, 0, 100, false), 100.5, "outside eng_low..eng_high"},
      {Scaled(TagType::UInt16, 0, 4000, 0, 100, false), -1, "outside eng_low..eng_high"},
      {Make(TagType::UInt16), 65536, "does not fit uint16"},
      {Make(TagType::Int16), -32769, "does not fit int16"},
      {Make(TagType::UInt16), 1.5, "takes whole numbers"},
      {Make(TagType::Bcd16), 10000, "does not fit bcd16"},
      {Make(TagType::Bcd32), -1, "does not fit bcd32"},
      {Make(TagType::Bool), 2, "a bool takes 0 or 1"},
      {Make(TagType::Float), NAN, "not a finite number"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(Encode(c.tag, c.value, error)) << c.value;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

TEST(GatewayTags, TagWordsArePolledWithTheTablesAndAtTheirPeriod) {
  Config config;
  // V0066 joins the table's block (V0064..V0067); V0200-V0201 (an Int32
  // at 100 ms) is a block of its own at its period, both words together.
  ASSERT_EQ(ReadTagsOf("device,name,address,type,poll_ms\n"
                       "boiler,Level,V0066,uint16,\n"
                       "boiler,Total,V0200,int32,100\n"
                       "a-0A,Lamp,Y0001,bool,\n",
                       config),
            "");
  const Plan plan = MakePlan(config);
  const std::vector<Block>& blocks = plan.lines[0].blocks;
  ASSERT_EQ(blocks.size(), 3u);
  const Ref level = plan.tagRefs[0][0][0];
  EXPECT_EQ(blocks[level.block].first + level.offset, 0x66u);
  EXPECT_EQ(level.block, plan.refs[0][0][0].block);  // one read serves table and tag
  const Ref total = plan.tagRefs[0][1][0], second = plan.tagRefs[0][1][1];
  EXPECT_EQ(total.block, second.block);
  EXPECT_EQ(blocks[total.block].pollMs, 100u);
  EXPECT_EQ(blocks[total.block].first + total.offset, 0x200u);
  EXPECT_EQ(plan.tagRefs[1][0][0].block, plan.refs[1][0][0].block);
}

}  // namespace
}  // namespace gateway
