// The simulator's protocol core, without a line: frames, the adapter and
// station model, faults, initial data and control commands.
#include <gtest/gtest.h>

#include "sim_data.h"
#include "sim_simulator.h"

namespace tiway_sim {
namespace {

std::string At(const std::string& frame, std::size_t position, std::size_t count) {
  return frame.substr(position, count);
}

// A frame from the network must pass the simulator's own checks.
void ExpectValidFrame(const std::string& frame) {
  std::string body;
  EXPECT_EQ(ParseFrame(frame, body), FrameError::kNone) << frame;
}

TEST(SimText, EncodesTheWorkedExamples) {
  EXPECT_EQ(EncodeFrame("01050006200100040064"), ":001E01050006200100040064DE6E;");
  EXPECT_EQ(EncodeFrame("01050006300100641234"), ":001E01050006300100641234BC3E;");
  EXPECT_EQ(EncodeFrame("0105000730030010010001"), ":00200105000730030010010001CCC1;");
  EXPECT_EQ(EncodeFrame("0405"), ":000E0405FBED;");
  EXPECT_EQ(Checksum("0123AB"), 0x53DD);
  EXPECT_EQ(Hex(0x12345, 4), "2345");
  EXPECT_EQ(Hex(0x7, 2), "07");
}

TEST(SimText, ParsesAndRefusesFrames) {
  struct Case {
    std::string frame;
    FrameError error;
  };
  const Case cases[] = {
      {":001E01050006200100040064DE6E;", FrameError::kNone},
      {":000A0000;", FrameError::kTooShort},  // no message code
      {":001e01050006200100040064DE6E;", FrameError::kNotHex},
      {":001E01050006200100040064de6e;", FrameError::kNotHex},
      {":001F01050006200100040064DE6E;", FrameError::kLengthMismatch},
      {":001E01050006200100040064DE6F;", FrameError::kChecksum},
      {":001E01050006200100040065DE6E;", FrameError::kChecksum},
      {":" + std::string(600, '0') + ";", FrameError::kTooLong},
  };
  for (const Case& c : cases) {
    std::string body;
    EXPECT_EQ(ParseFrame(c.frame, body), c.error) << c.frame;
  }
  std::string body;
  ASSERT_EQ(ParseFrame(":001E01050006200100040064DE6E;", body), FrameError::kNone);
  EXPECT_EQ(body, "01050006200100040064");
}

TEST(SimText, FramerSkipsNoiseAndRestartsOnColon) {
  Framer framer;
  auto frames = framer.Feed("xx:000C12");
  EXPECT_TRUE(frames.empty());
  frames = framer.Feed("EDF4;junk:0:000C06F9F4;");
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].text, ":000C12EDF4;");
  EXPECT_EQ(frames[1].text, ":000C06F9F4;");
  EXPECT_EQ(framer.SkippedBytes(), 2u + 4u + 2u);

  frames = framer.Feed(":" + std::string(700, '1') + ";:000C06F9F4;");
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].tooLong);
  EXPECT_EQ(frames[0].text.size(), kMaxFrameChars);
  EXPECT_FALSE(frames[1].tooLong);
}

// Sends a body as a well-formed frame and gives the reply frame.
class SimTest : public ::testing::Test {
 protected:
  std::string Send(const std::string& body) { return Raw(EncodeFrame(body)); }
  std::string Raw(const std::string& frame) {
    const Exchange exchange = sim.Handle({frame, false});
    last = exchange;
    return exchange.plan.bytes;
  }
  void Configure() {
    for (const char* body : {"FF", "200100040300FE040000", "11", "30"}) Send(body);
    ASSERT_TRUE(sim.Adapt().Configured());
  }
  void ConfigureAndConnect(int station) {
    Configure();
    ASSERT_EQ(At(Send("04" + Hex(static_cast<uint32_t>(station), 2)), 5, 2), "04");
  }
  Simulator sim;
  Exchange last;
};

TEST_F(SimTest, StatusReplyCarriesTheConfiguredFlagAtPositions15And16) {
  std::string reply = Send("12");
  ExpectValidFrame(reply);
  EXPECT_EQ(At(reply, 5, 2), "12");
  EXPECT_EQ(At(reply, 15, 2), "00");
  Configure();
  reply = Send("12");
  ExpectValidFrame(reply);
  EXPECT_EQ(At(reply, 15, 2), "01");
}

TEST_F(SimTest, ConfigurationSequenceRepliesWithItsOwnMessageCodes) {
  for (const std::string body : {"FF", "200100040300FE040000", "11", "30"}) {
    const std::string reply = Send(body);
    ExpectValidFrame(reply);
    EXPECT_EQ(At(reply, 5, 2), body.substr(0, 2));
  }
  EXPECT_TRUE(sim.Adapt().Configured());
}

TEST_F(SimTest, ConfigurationStepsOutOfOrderAreRefused) {
  for (const std::string body : {"200100040300FE040000", "11", "30"}) {
    EXPECT_EQ(Send(body), EncodeFrame("000008")) << body;
  }
  Send("FF");
  EXPECT_EQ(Send("11"), EncodeFrame("000008"));  // FF then 11 skips the set-up
  EXPECT_FALSE(sim.Adapt().Configured());
}

TEST_F(SimTest, ResetForgetsConfigurationAndConnections) {
  ConfigureAndConnect(3);
  EXPECT_EQ(Send("06"), EncodeFrame("0603"));
  Send("FF");
  EXPECT_FALSE(sim.Adapt().Configured());
  EXPECT_EQ(Send("06"), EncodeFrame("06"));
}

TEST_F(SimTest, ConnectAndStationList) {
  EXPECT_EQ(Send("0402"), EncodeFrame("000007"));  // not configured yet
  Configure();
  EXPECT_EQ(Send("0405"), EncodeFrame("0405"));
  EXPECT_EQ(Send("0401"), EncodeFrame("0401"));
  EXPECT_EQ(Send("0401"), EncodeFrame("0401"));  // again: no harm
  EXPECT_EQ(Send("0406"), EncodeFrame("000006"));
  EXPECT_EQ(Send("04FF"), EncodeFrame("000006"));
  const std::string list = Send("06");
  EXPECT_EQ(list, EncodeFrame("060105"));  // ascending
  // What the driver reads: L, then (L - 12) / 2 stations from position 7.
  EXPECT_EQ(*ParseUpperHex(At(list, 1, 4)), 16u);  // (16 - 12) / 2 = 2 stations
  EXPECT_EQ(At(list, 7, 4), "0105");
}

TEST_F(SimTest, BadRequestsGetAdapterRefusals) {
  struct Case {
    std::string frame;
    std::string reply;
  };
  const Case cases[] = {
      {":001E01050006200100040064DE6F;", EncodeFrame("000002")},
      {":001D01050006200100040064DE6E;", EncodeFrame("000001")},
      {":001e01050006200100040064DE6E;", EncodeFrame("000003")},
      {EncodeFrame("77"), EncodeFrame("000004")},
      {EncodeFrame("1200"), EncodeFrame("000005")},
      {EncodeFrame("04"), EncodeFrame("000005")},
      {EncodeFrame("2001"), EncodeFrame("000005")},  // not the set-up body
      {EncodeFrame("0105"), EncodeFrame("000005")},  // primitive without its length
  };
  for (const Case& c : cases) EXPECT_EQ(Raw(c.frame), c.reply) << c.frame;
  EXPECT_EQ(sim.Handle({std::string(kMaxFrameChars, '0'), true}).plan.bytes, EncodeFrame("000009"));
  EXPECT_EQ(sim.Count().bad, 4u);
}

TEST_F(SimTest, ReadReplyHasTheAdapterLayout) {
  ConfigureAndConnect(5);
  ASSERT_EQ(ApplyDataLine("05 V 0064 = 1234 5678 9ABC DEF0", sim.Net()), "");
  const std::string reply = Raw(":001E01050006200100040064DE6E;");
  ExpectValidFrame(reply);
  EXPECT_EQ(At(reply, 5, 2), "01");
  EXPECT_EQ(At(reply, 7, 2), "05");
  EXPECT_EQ(At(reply, 9, 4), "000A");  // code, status and 8 data bytes
  EXPECT_EQ(At(reply, 13, 2), "20");
  EXPECT_EQ(At(reply, 15, 2), "00");
  EXPECT_EQ(At(reply, 17, 16), "123456789ABCDEF0");
  EXPECT_EQ(last.requestNote, "station 05 read V address 0064 count 4");
}

TEST_F(SimTest, WritesAndReadsOfEveryType) {
  ConfigureAndConnect(2);
  struct Case {
    const char* type;
    std::string writeData;
    std::string readBack;
  };
  const Case cases[] = {
      {"01", "00010203FFFF", "00010203FFFF"},
      {"03", "010001", "010001"},
      {"04", "0100FF", "010001"},  // a discrete keeps bit 0 of its byte
      {"05", "000001", "000001"},
  };
  for (const Case& c : cases) {
    const std::string data = c.writeData;
    const std::size_t width = std::string(c.type) == "01" ? 4 : 2;
    const std::string count = Hex(static_cast<uint32_t>(data.size() / width), 4);
    const std::string write = Send("0102" + Hex(static_cast<uint32_t>(4 + data.size() / 2), 4) +
                                   "30" + c.type + "FFFD" + data);
    ExpectValidFrame(write);
    EXPECT_EQ(write, EncodeFrame("0102000230"
                                 "00"))
        << c.type;
    const std::string read = Send("0102000620" + std::string(c.type) + count + "FFFD");
    ExpectValidFrame(read);
    EXPECT_EQ(At(read, 13, 4), "2000") << c.type;
    EXPECT_EQ(read.substr(17, read.size() - 22), c.readBack) << c.type;
  }
  // Memory types are separate; unwritten elements read 0.
  EXPECT_EQ(sim.Net().Read(2, MemoryType::kX, 0xFFFE), 0);
  EXPECT_EQ(sim.Net().Read(2, MemoryType::kY, 0xFFFE), 0);
  EXPECT_EQ(sim.Net().Read(2, MemoryType::kV, 0x0001), 0);
}

TEST_F(SimTest, ZeroCountsAreServed) {
  ConfigureAndConnect(1);
  EXPECT_EQ(Send("01010006200100000010"), EncodeFrame("0101000220"
                                                      "00"));
  EXPECT_EQ(Send("010100043001FFFF"), EncodeFrame("0101000230"
                                                  "00"));
}

TEST_F(SimTest, PrimitiveErrorsCarryTheirCodeAtPositions16To19) {
  ConfigureAndConnect(1);
  struct Case {
    std::string body;
    std::string code;
  };
  const Case cases[] = {
      {"01090006200100010001", "0101"},    // station 9 is not on the network
      {"01020006200100010001", "0102"},    // station 2 exists but is not connected
      {"01010006400100010001", "0103"},    // neither read nor write
      {"01010006200200010001", "0104"},    // memory type 02
      {"01010007200100010001", "0105"},    // length field says 7 bytes
      {"0101000720010001000100", "0105"},  // a read takes exactly 6 bytes
      {"010100023001", "0105"},            // a write without its address
      {"0101000620010002FFFF", "0106"},    // FFFF and FFFF+1
      {"01010007300100FF010203", "0108"},  // 3 bytes of V data
      {"010100062001FFFF0000", "0107"},    // far more than one reply holds
      {"0101000620010001FFFF", "0000"},    // the last word exists
  };
  for (const Case& c : cases) {
    const std::string reply = Send(c.body);
    ExpectValidFrame(reply);
    if (c.code == "0000") {
      EXPECT_EQ(At(reply, 13, 2), "20") << c.body;
      continue;
    }
    EXPECT_EQ(At(reply, 5, 2), "01") << c.body;
    EXPECT_EQ(At(reply, 13, 2), "00") << c.body;
    EXPECT_EQ(At(reply, 16, 4), c.code) << c.body;
  }
}

TEST_F(SimTest, CountLimitKeepsTheReplyWithin589Characters) {
  ConfigureAndConnect(1);
  // 22 characters besides the data: 141 words (586) and 283 discretes (588) fit.
  EXPECT_EQ(Send("010100062001008D0001").size(), 586u);
  EXPECT_EQ(At(Send("010100062001008E0001"), 16, 4), "0107");
  EXPECT_EQ(Send("010100062003011B0001").size(), 588u);
  EXPECT_EQ(At(Send("010100062003011C0001"), 16, 4), "0107");
}

TEST(SimFaults, ParsesEveryMode) {
  struct Case {
    const char* text;
    FaultKind kind;
    uint32_t amount;
  };
  const Case cases[] = {
      {"silence", FaultKind::kSilence, 0},
      {"bad-checksum", FaultKind::kBadChecksum, 0},
      {"stray", FaultKind::kStray, 1},
      {"stray3", FaultKind::kStray, 3},
      {"stray=5", FaultKind::kStray, 5},
      {"cut", FaultKind::kCut, 0},
      {"cut12", FaultKind::kCut, 12},
      {"no-end", FaultKind::kNoEnd, 0},
      {"primitive-error=0102", FaultKind::kPrimitiveError, 0x102},
      {"short-data", FaultKind::kShortData, 0},
      {"lower-case", FaultKind::kLowerCase, 0},
      {"delay=1500", FaultKind::kDelay, 1500},
  };
  for (const Case& c : cases) {
    Fault fault;
    std::string error;
    ASSERT_TRUE(ParseFault(c.text, fault, error)) << c.text << ": " << error;
    EXPECT_EQ(fault.kind, c.kind) << c.text;
    EXPECT_EQ(fault.amount, c.amount) << c.text;
  }
  for (const char* bad : {"", "noise", "stray0", "strayx", "primitive-error=12",
                          "delay=", "delay=abc", "cut0", "silence2"}) {
    Fault fault;
    std::string error;
    EXPECT_FALSE(ParseFault(bad, fault, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

class SimFaultTest : public SimTest {
 protected:
  void SetUp() override {
    ConfigureAndConnect(5);
    ASSERT_EQ(ApplyDataLine("05 V 0064 1234 5678", sim.Net()), "");
  }
  void Arm(const char* text, uint32_t requests = 1) {
    Fault fault;
    std::string error;
    ASSERT_TRUE(ParseFault(text, fault, error)) << error;
    sim.Faults().Add(fault, requests);
  }
  const std::string kRead = "01050006200100020064";
  const std::string kGood = EncodeFrame(
      "0105000620"
      "00"
      "12345678");
};

TEST_F(SimFaultTest, EachModeSpoilsTheReplyAsNamed) {
  Arm("silence");
  EXPECT_EQ(Send(kRead), "");
  EXPECT_TRUE(last.plan.silent);

  Arm("bad-checksum");
  std::string body;
  EXPECT_EQ(ParseFrame(Send(kRead), body), FrameError::kChecksum);

  Arm("stray3");
  EXPECT_EQ(Send(kRead), "***" + kGood);

  Arm("cut");
  EXPECT_EQ(Send(kRead), kGood.substr(0, kGood.size() / 2));
  Arm("cut5");
  EXPECT_EQ(Send(kRead), kGood.substr(0, 5));

  Arm("no-end");
  EXPECT_EQ(Send(kRead), kGood.substr(0, kGood.size() - 1));

  Arm("lower-case");
  std::string lower = kGood;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(Send(kRead), lower);

  Arm("delay=250");
  EXPECT_EQ(Send(kRead), kGood);
  EXPECT_EQ(last.plan.delayMs, 250u);

  Arm("short-data");
  const std::string shortReply = Send(kRead);
  ExpectValidFrame(shortReply);
  EXPECT_EQ(shortReply, EncodeFrame("0105000420"
                                    "00"
                                    "1234"));

  EXPECT_EQ(Send(kRead), kGood);  // every fault was for one request
  EXPECT_EQ(sim.Count().faulted, 9u);
}

TEST_F(SimFaultTest, FailedPrimitiveCarriesTheCodeAndChangesNothing) {
  Arm("primitive-error=0102", 2);
  EXPECT_EQ(At(Send("06"), 5, 2), "06");  // adapter requests don't use it up
  const std::string reply = Send("01050006300100649999");
  ExpectValidFrame(reply);
  EXPECT_EQ(At(reply, 13, 2), "00");
  EXPECT_EQ(At(reply, 16, 4), "0102");
  EXPECT_EQ(sim.Net().Read(5, MemoryType::kV, 0x64), 0x1234);  // the write did not happen
  EXPECT_EQ(At(Send(kRead), 16, 4), "0102");
  EXPECT_EQ(Send(kRead), kGood);
}

TEST_F(SimFaultTest, CountedFaultsLastForTheirRequestsAndCombine) {
  Arm("silence", 2);
  Arm("stray2", 3);
  EXPECT_EQ(Send(kRead), "");
  EXPECT_EQ(Send(kRead), "");
  EXPECT_EQ(Send(kRead), "**" + kGood);
  EXPECT_EQ(Send(kRead), kGood);
  // Lost replies still mean the request was carried out.
  Arm("silence");
  Send("01050006300100640001");
  EXPECT_EQ(sim.Net().Read(5, MemoryType::kV, 0x64), 1);
}

TEST_F(SimFaultTest, ScopesSpareOtherRequests) {
  Arm("silence@read");
  EXPECT_EQ(At(Send("06"), 5, 2), "06");
  EXPECT_EQ(At(Send("01050006300100700001"), 13, 2), "30");  // a write is spared
  EXPECT_EQ(Send(kRead), "");
  Arm("stray2@adapter", 2);
  EXPECT_EQ(Send(kRead), kGood);
  EXPECT_EQ(Send("06"), "**" + EncodeFrame("0605"));
  Arm("cut@write");
  EXPECT_EQ(Send(kRead), kGood);
  EXPECT_EQ(Send("06"), "**" + EncodeFrame("0605"));  // the second adapter request
  EXPECT_EQ(Send("06"), EncodeFrame("0605"));
  EXPECT_EQ(Send("01050006300100700001").size(), EncodeFrame("0105000230"
                                                             "00")
                                                         .size() /
                                                     2);

  Fault fault;
  std::string error;
  ASSERT_TRUE(ParseFault("primitive-error=0105@primitive", fault, error));
  EXPECT_EQ(FaultName(fault), "primitive-error=0105@primitive");
  EXPECT_FALSE(ParseFault("silence@station", fault, error));
}

// A fault on one station: its requests are spoiled, station 03 answers.
TEST_F(SimFaultTest, StationFaultsSpoilOnlyTheirStation) {
  ASSERT_EQ(At(Send("0403"), 5, 2), "04");
  const struct {
    const char* mode;
    std::string reply;  // to the read of station 05
    uint32_t delayMs;
    uint16_t afterWrite;  // its V0064 after a write of 0001: a silent station writes nothing
  } cases[] = {{"silence", "", 0, 0x1234}, {"delay=1500", kGood, 1500, 0x0001}};
  for (const auto& c : cases) {
    ASSERT_EQ(sim.Control(std::string("station-fault 05 ") + c.mode),
              std::string("ok ") + c.mode + " for station 05");
    EXPECT_EQ(Send(kRead), c.reply) << c.mode;
    EXPECT_EQ(last.plan.delayMs, c.delayMs) << c.mode;
    EXPECT_EQ(At(Send("01030006200100010064"), 13, 2), "20") << c.mode;
    EXPECT_EQ(last.plan.delayMs, 0u) << c.mode;
    Send("01050006300100640001");
    EXPECT_EQ(sim.Net().Read(5, MemoryType::kV, 0x64), c.afterWrite) << c.mode;
    ASSERT_EQ(sim.Control("station-fault 05 clear"), "ok station 05 without faults");
    ASSERT_EQ(ApplyDataLine("05 V 0064 1234", sim.Net()), "");
  }
  EXPECT_EQ(Send(kRead), kGood);
}

TEST_F(SimFaultTest, PeriodicFaultsSpoilEveryNthRequestTheyApplyTo) {
  // Requests in turn, and which of them a periodic fault spoils: the Nth,
  // 2Nth ... of those in its scope, whatever else is in force.
  struct Case {
    const char* mode;
    uint32_t period;
    const char* requests;  // r: read, w: write, a: adapter
    const char* spoiled;   // x: the fault applied
  };
  const Case cases[] = {
      {"delay=240@primitive", 3, "rrrrrrr", "..x..x."},
      {"delay=240@primitive", 2, "rarwara", "..x..x."},  // adapter requests don't count
      {"delay=240@read", 2, "rwrwrrw", "..x..x."},
      {"delay=240", 1, "raw", "xxx"},
      {"silence@write", 2, "wrwrw", "..x.."},
  };
  const std::string kWrite = "01050006300100700001";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " every " + std::to_string(c.period));
    Fault fault;
    std::string error;
    ASSERT_TRUE(ParseFault(c.mode, fault, error)) << error;
    sim.Faults().Clear();
    sim.Faults().AddEvery(fault, c.period);
    std::string spoiled;
    for (const char* r = c.requests; *r != '\0'; ++r) {
      Send(*r == 'r' ? kRead : *r == 'w' ? kWrite : "06");
      spoiled += last.faults.empty() ? '.' : 'x';
      if (!last.faults.empty()) {
        EXPECT_EQ(last.plan.delayMs, fault.kind == FaultKind::kDelay ? 240u : 0u);
        EXPECT_EQ(last.plan.silent, fault.kind == FaultKind::kSilence);
      }
    }
    EXPECT_EQ(spoiled, c.spoiled);
  }
  // Beside a random fault and a counted one; the longer delay wins.
  sim.Faults().Clear();
  Fault late, later;
  std::string error;
  ASSERT_TRUE(ParseFault("delay=240@primitive", late, error));
  ASSERT_TRUE(ParseFault("delay=400", later, error));
  sim.Faults().AddEvery(late, 2);
  sim.Faults().Add(later, 2);
  Send(kRead);
  EXPECT_EQ(last.plan.delayMs, 400u);
  Send(kRead);
  EXPECT_EQ(last.plan.delayMs, 400u);
  Send(kRead);
  EXPECT_EQ(last.plan.delayMs, 0u);
  Send(kRead);
  EXPECT_EQ(last.plan.delayMs, 240u);
  EXPECT_EQ(sim.Faults().Describe(), "delay=240@primitive/2");
}

TEST_F(SimFaultTest, RandomFaultsRepeatWithTheSeed) {
  Fault fault;
  std::string error;
  ASSERT_TRUE(ParseFault("silence", fault, error));
  auto pattern = [&](uint32_t seed) {
    FaultPlan plan(seed);
    plan.AddRate(fault, 0.5);
    std::string marks;
    for (int i = 0; i < 64; ++i) marks += plan.Take(RequestClass::kRead).empty() ? '.' : 'x';
    return marks;
  };
  EXPECT_EQ(pattern(7), pattern(7));
  EXPECT_NE(pattern(7), pattern(8));
  EXPECT_NE(pattern(7).find('x'), std::string::npos);
  EXPECT_NE(pattern(7).find('.'), std::string::npos);

  sim.Faults().AddRate(fault, 1.0);
  EXPECT_EQ(Send(kRead), "");
  sim.Faults().Clear();
  EXPECT_EQ(Send(kRead), kGood);
}

TEST(SimData, ParsesTheDataFileFormat) {
  Network network({1, 5});
  const std::string text =
      "# initial data\n"
      "\n"
      "05 V 0064 = 1234 abcd 7   # three words\n"
      "05 F 0100 12345678\n"
      "01 X 0010 1 0 1\n"
      "01 y FFFF = 1\n"
      "01 C 0000 1\n";
  ASSERT_EQ(ApplyDataText(text, network), "");
  EXPECT_EQ(network.Read(5, MemoryType::kV, 0x64), 0x1234);
  EXPECT_EQ(network.Read(5, MemoryType::kV, 0x65), 0xABCD);
  EXPECT_EQ(network.Read(5, MemoryType::kV, 0x66), 0x0007);
  EXPECT_EQ(network.Read(5, MemoryType::kV, 0x100), 0x1234);  // high word first
  EXPECT_EQ(network.Read(5, MemoryType::kV, 0x101), 0x5678);
  EXPECT_EQ(network.Read(1, MemoryType::kX, 0x10), 1);
  EXPECT_EQ(network.Read(1, MemoryType::kX, 0x11), 0);
  EXPECT_EQ(network.Read(1, MemoryType::kX, 0x12), 1);
  EXPECT_EQ(network.Read(1, MemoryType::kY, 0xFFFF), 1);
  EXPECT_EQ(network.Read(1, MemoryType::kC, 0x0000), 1);
}

TEST(SimData, RefusesBadLinesWithTheirNumber) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"02 V 0001 1", "line 1: station '02' is not on the network"},
      {"\n01 Z 0001 1", "line 2: bad type 'Z' (V, F, X, Y or C)"},
      {"01 V 10000 1", "line 1: bad address '10000' (hex 0000-FFFF)"},
      {"01 V 0001 12345", "line 1: bad value '12345'"},
      {"01 X 0001 2", "line 1: bad value '2'"},
      {"01 V FFFF 1 2", "line 1: values run past address FFFF"},
      {"01 V 0001 =", "line 1: no values"},
      {"01 V 0001", "line 1: expected: STATION TYPE ADDRESS [=] VALUE..."},
  };
  for (const Case& c : cases) {
    Network network({1});
    EXPECT_EQ(ApplyDataText(c.text, network), c.error) << c.text;
  }
  // A refused line stores none of its values.
  Network network({1});
  EXPECT_NE(ApplyDataLine("01 V 0010 1 2 XYZ", network), "");
  EXPECT_EQ(network.Read(1, MemoryType::kV, 0x10), 0);
}

TEST(SimData, ParsesStationLists) {
  std::set<int> stations;
  std::string error;
  ASSERT_TRUE(ParseStationList("1-3,10,0xFE", stations, error));
  EXPECT_EQ(stations, (std::set<int>{1, 2, 3, 10, 254}));
  ASSERT_TRUE(ParseStationList("all", stations, error));
  EXPECT_EQ(stations.size(), 254u);
  for (const char* bad : {"0", "255", "3-1", "1,,2", "x", ""}) {
    EXPECT_FALSE(ParseStationList(bad, stations, error)) << bad;
  }
}

TEST_F(SimTest, ControlCommands) {
  struct Case {
    const char* command;
    const char* answer;
  };
  const Case cases[] = {
      {"set 02 V 0010 = 002A 1", "ok"},
      {"dump 02 V 0010 3", "ok 002A 0001 0000"},
      {"set 02 F 0020 DEADBEEF", "ok"},
      {"dump 02 F 0020", "ok DEADBEEF"},
      {"set 02 C 0001 1", "ok"},
      {"dump 02 C 0000 2", "ok 0 1"},
      {"dump 09 V 0000", "error station '09' is not on the network"},
      {"set 02 V 0000 XYZ", "error bad value 'XYZ'"},
      {"fault silence 2", "ok silence for 2 request(s)"},
      {"fault stray3:4", "ok stray3 for 4 request(s)"},
      {"faults", "ok silence:2 stray3:4"},
      {"fault-every delay=240@primitive 10", "ok delay=240@primitive every 10 request(s)"},
      {"faults", "ok silence:2 stray3:4 delay=240@primitive/10"},
      {"fault-every delay=240 0", "error bad period '0' (every Nth request, N at least 1)"},
      {"fault-every delay=x 3", "error delay needs milliseconds, e.g. delay=1500"},
      {"clear", "ok"},
      {"faults", "ok none"},
      {"fault noise",
       "error unknown fault 'noise' (silence, bad-checksum, stray[N], cut[N], no-end, "
       "primitive-error=CODE, short-data, lower-case, delay=MS; then optionally @adapter, "
       "@primitive, @read or @write)"},
      {"stations", "ok 01 02 03 04 05"},
      {"configured 1", "ok"},
      {"connected", "ok"},
      {"bogus", "error unknown command or wrong arguments: 'bogus' (try: help)"},
  };
  for (const Case& c : cases) EXPECT_EQ(sim.Control(c.command), c.answer) << c.command;

  Send("0403");
  Send("0404");
  EXPECT_EQ(sim.Control("connected"), "ok 03 04");
  EXPECT_EQ(sim.Control("disconnect 03"), "ok");
  EXPECT_EQ(Send("06"), EncodeFrame("0604"));
  EXPECT_EQ(sim.Control("stats"),
            "ok frames=3 reads=0 writes=0 adapter=3 bad=0 failed=0 faulted=0 skipped=0 lag=0");
  EXPECT_EQ(sim.Control("reset"), "ok");
  EXPECT_EQ(At(Send("12"), 15, 2), "00");
}

TEST(SimNotes, DescribeRequestsAndReplies) {
  EXPECT_EQ(DescribeRequest("0105000730030010010001"),
            "station 05 write X address 0010 count 3 data 01 00 01");
  EXPECT_EQ(DescribeReply("0105000620"
                          "00"
                          "12345678",
                          "01050006200100020064"),
            "station 05 read ok, status 00 (running), 2 V: 1234 5678");
  EXPECT_EQ(DescribeReply(Adapter::PrimitiveFailure("05", 0x0102), "01050006200100020064"),
            "station 05 primitive error 0102 (station not connected)");
  EXPECT_EQ(DescribeReply("000006", "0406"), "adapter refuses: error 0006 (no such station)");
}

}  // namespace
}  // namespace tiway_sim
