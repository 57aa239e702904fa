// ColdStart, WarmStart, the adapter configuration and the (re)connection of
// secondary stations, on the scripted fake line.
#include "driver/startup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "driver/zormain.h"
#include "points/connect_secondary.h"
#include "tests/fake/fake_line.h"
#include "tests/points/reply_frames.h"
#include "tests/support/log_capture.h"

namespace {

using frames::Wrap;
using Strings = std::vector<std::string>;

const std::string kNotConfigured = Wrap(
    "12"
    "00000000"
    "00");
const std::string kConfigured = Wrap(
    "12"
    "00000000"
    "01");  // 01 at positions 15 and 16
// The adapter answers each request with the request's own message code.
const std::string kReset = Wrap("FF");
const std::string kSetUp = Wrap("20");
const std::string kEleven = Wrap("11");
const std::string kThirty = Wrap("30");
const std::string kMessageCodeZero = Wrap("00");  // CheckReply gives 2

Strings SequenceFrames(size_t count) {
  const char* bodies[] = {"12", "FF", "200100040300FE040000", "11", "30"};
  Strings frames;
  for (size_t i = 0; i < count; ++i) frames.push_back(Wrap(bodies[i]));
  return frames;
}

// The waits other than the 50 ms pause that follows every reply.
std::vector<uint32_t> SettleWaits(const fake::FakeLine& line) {
  std::vector<uint32_t> waits;
  std::copy_if(line.sleeps.begin(), line.sleeps.end(), std::back_inserter(waits),
               [](uint32_t ms) { return ms != 50; });
  return waits;
}

class StartupTest : public ::testing::Test {
 protected:
  StartupTest() {
    std::memset(&context, 0, sizeof context);
    std::strcpy(params.portName, "COM1");
    params.enabled = 1;
    params.readTimeout = 250;
    params.line = LineSettings{9600, 8, 0, 2};
  }

  int32_t Run(int32_t command, void* parameters = nullptr) {
    ZorRequest request{&context, command, 7, 0, parameters};
    return ZorMain(&request);
  }
  int32_t RunColdStart() { return Run(1, &params); }

  fake::FakeLine line;
  LogCapture log;
  alignas(4) PortContext context;  // as the host allocates it
  ColdStartParams params{};
};

TEST_F(StartupTest, DisabledColdStartOnlyClearsReady) {
  std::memset(&context, 0x5A, sizeof context);
  PortContext before;
  std::memcpy(&before, &context, sizeof context);
  params.enabled = 0;
  EXPECT_EQ(RunColdStart(), 0);
  EXPECT_EQ(context.ready, 0u);
  before.ready = 0;
  EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0);
  EXPECT_TRUE(line.trace.empty());
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(StartupTest, ReadTimeoutIsRaisedToOneSecond) {
  struct Case {
    int32_t given;
    int32_t stored;
  };
  for (Case c : {Case{40, 100}, Case{-5, 100}, Case{0, 100}, Case{250, 250}}) {
    fake::FakeLine fresh;
    fresh.Reply(kConfigured);
    std::memset(&context, 0, sizeof context);
    params.readTimeout = c.given;
    EXPECT_EQ(RunColdStart(), 0);
    EXPECT_EQ(context.readTimeout, c.stored) << c.given;
    // The host's value first, 3 s while configuring, the stored value after.
    EXPECT_EQ(fresh.timeoutsSet, (std::vector<int32_t>{c.given, 300, c.stored})) << c.given;
    EXPECT_EQ(fresh.TimeoutMs(context.portHandle), c.stored * 10);
  }
}

TEST_F(StartupTest, ColdStartSetsTheContextUp) {
  std::memset(&context, 0x5A, sizeof context);
  context.portHandle = 0;
  const std::string frameBefore(context.requestFrame, sizeof context.requestFrame);
  const std::string replyBefore(context.replyBuffer, sizeof context.replyBuffer);
  line.Reply(kConfigured);
  EXPECT_EQ(RunColdStart(), 0);

  ASSERT_EQ(line.opens.size(), 1u);
  EXPECT_EQ(line.opens[0].name, "COM1");
  EXPECT_EQ(line.opens[0].handshake, 8);
  EXPECT_EQ(line.opens[0].line.baudRate, 9600);
  EXPECT_EQ(line.opens[0].line.parity, 2);
  EXPECT_EQ(context.portHandle, line.opens[0].handle);
  EXPECT_EQ(context.ready, 1u);
  EXPECT_STREQ(context.settings.portName, "COM1");
  EXPECT_EQ(context.settings.line.dataBits, 8);
  EXPECT_EQ(context.settings.handshake, 8);
  EXPECT_EQ(context.settings.reserved, 0);
  for (uint8_t entry : context.stations) EXPECT_EQ(entry, 0);
  // Start-up requests use buffers of their own.
  EXPECT_EQ(std::string(context.requestFrame, sizeof context.requestFrame), frameBefore);
  EXPECT_EQ(std::string(context.replyBuffer, sizeof context.replyBuffer), replyBefore);
  EXPECT_EQ(log.Lines(), Strings{"ZOR07: TW: ColdStart(): TIWAY Driver loaded successfully"});
  EXPECT_EQ(log.Levels(), std::vector<int>{32});
}

// What the adapter answers, how many requests go out, how long is waited
// and what ColdStart logs.
struct ConfigurationCase {
  const char* name;
  Strings replies;  // "" is silence
  size_t requests;
  std::vector<uint32_t> sleeps;
  int32_t status;
};

TEST_F(StartupTest, ConfigurationSequencePaths) {
  const ConfigurationCase cases[] = {
      {"already configured", {kConfigured}, 1, {}, 0},
      {"full", {kNotConfigured, kReset, kSetUp, kEleven, kThirty}, 5, {5000, 5000}, 0},
      {"12 silent", {"", kReset, kSetUp, kEleven, kThirty}, 5, {5000, 5000}, 0},
      {"12 fails its check",
       {kMessageCodeZero, kReset, kSetUp, kEleven, kThirty},
       5,
       {5000, 5000},
       0},
      // A sound reply with another request's message code answers nothing.
      {"FF answered as 11", {kNotConfigured, kEleven}, 2, {5000}, 65535},
      {"30 answered as FF",
       {kNotConfigured, kReset, kSetUp, kEleven, kReset},
       5,
       {5000, 5000},
       65535},
      {"FF fails", {kNotConfigured, kMessageCodeZero}, 2, {5000}, 2},
      {"FF silent", {kNotConfigured, ""}, 2, {5000}, 7},
      {"third fails", {kNotConfigured, kReset, kMessageCodeZero}, 3, {5000}, 2},
      {"fourth fails",
       {kNotConfigured, kReset, kSetUp, frames::PrimitiveError(0, 0x0102)},
       4,
       {5000, 5000},
       0x0102},
      {"fifth fails",
       {kNotConfigured, kReset, kSetUp, kEleven, kMessageCodeZero},
       5,
       {5000, 5000},
       2},
  };
  for (const ConfigurationCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake::FakeLine fresh;
    for (const std::string& reply : c.replies) fresh.Reply(reply);
    std::memset(&context, 0, sizeof context);
    log.Clear();
    EXPECT_EQ(RunColdStart(), 0);
    EXPECT_EQ(fresh.writes, SequenceFrames(c.requests));
    EXPECT_EQ(SettleWaits(fresh), c.sleeps);
    EXPECT_EQ(fresh.TimeoutMs(context.portHandle), 2500);  // restored on every way out
    EXPECT_EQ(fresh.timeoutsSet.back(), 250);
    Strings lines = log.Lines();
    if (c.status == 0) {
      EXPECT_EQ(lines.back(), "ZOR07: TW: ColdStart(): TIWAY Driver loaded successfully");
    } else {
      ASSERT_GE(lines.size(), 2u);
      EXPECT_EQ(lines[lines.size() - 2],
                "ZOR07: TW: ConfigureAdapter(): fail rc = " + std::to_string(c.status));
      EXPECT_EQ(lines.back(),
                "ZOR07: TW: ColdStart(): Fail rc = " + std::to_string(c.status) + " ");
    }
  }
}

TEST_F(StartupTest, SettleWaitsComeAfterFFAndAfterTheSetUp) {
  for (const char* reply :
       {kNotConfigured.c_str(), kReset.c_str(), kSetUp.c_str(), kEleven.c_str(), kThirty.c_str()}) {
    line.Reply(reply);
  }
  ASSERT_EQ(RunColdStart(), 0);
  Strings order;
  for (const std::string& step : line.trace) {
    if (step.rfind("write", 0) == 0 || step == "sleep 5000") order.push_back(step);
  }
  const Strings frames = SequenceFrames(5);
  EXPECT_EQ(order,
            (Strings{"write " + frames[0], "write " + frames[1], "sleep 5000", "write " + frames[2],
                     "sleep 5000", "write " + frames[3], "write " + frames[4]}));
}

TEST_F(StartupTest, DummyPortNeverAnswers) {
  std::strcpy(params.portName, "NUL");
  EXPECT_EQ(RunColdStart(), 0);
  EXPECT_EQ(line.writes, SequenceFrames(2));
  EXPECT_EQ(SettleWaits(line), std::vector<uint32_t>{5000});
  EXPECT_EQ(log.Lines(), (Strings{"ZOR07: TW: ConfigureAdapter(): fail rc = 7",
                                  "ZOR07: TW: ColdStart(): Fail rc = 7 "}));
  EXPECT_EQ(line.timeoutsSet, (std::vector<int32_t>{250, 300, 250}));
  EXPECT_NE(context.portHandle, 0u);
}

TEST_F(StartupTest, DeviceThatDoesNotOpenKeepsTheContext) {
  std::memset(&context, 0x33, sizeof context);
  PortContext before;
  std::memcpy(&before, &context, sizeof context);
  line.missingDevices.insert("COM1");
  params.enabled = 5;
  EXPECT_EQ(RunColdStart(), 2);
  EXPECT_EQ(context.ready, 5u);
  before.ready = 5;
  EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0);
  EXPECT_EQ(log.Lines(), Strings{"ZOR07: TW: ColdStart(): Fail to open COM1"});
  EXPECT_TRUE(line.writes.empty());
}

TEST_F(StartupTest, PortNameWithoutTerminatorIsRefused) {
  // The 12 bytes of the name are followed by non-zero bytes of the record.
  std::memcpy(params.portName, "ABCDEFGHIJKL", 12);
  params.enabled = 0x41414141;
  EXPECT_EQ(RunColdStart(), 2);
  EXPECT_TRUE(line.trace.empty());
  EXPECT_EQ(log.Lines(), Strings{"ZOR07: TW: ColdStart(): Fail to open ABCDEFGHIJKL"});
  EXPECT_EQ(context.ready, 0x41414141u);
  EXPECT_EQ(context.portHandle, 0u);
}

TEST_F(StartupTest, ColdStartOnAnOpenContextClosesTheReplacedPort) {
  line.responder = [](const std::string&) { return kConfigured; };
  ASSERT_EQ(RunColdStart(), 0);
  const SerialHandle first = context.portHandle;

  // A device that does not open leaves the old port in place.
  line.missingDevices.insert("COM2");
  std::strcpy(params.portName, "COM2");
  EXPECT_EQ(RunColdStart(), 2);
  EXPECT_EQ(context.portHandle, first);
  EXPECT_TRUE(line.IsOpen(first));

  std::strcpy(params.portName, "COM3");
  EXPECT_EQ(RunColdStart(), 0);
  EXPECT_NE(context.portHandle, first);
  EXPECT_TRUE(line.IsOpen(context.portHandle));
  EXPECT_FALSE(line.IsOpen(first));
  EXPECT_EQ(line.OpenCount(), 1u);
}

TEST_F(StartupTest, ConnectSecondaryFrames) {
  line.responder = [](const std::string&) { return Wrap("04"); };
  ASSERT_EQ(RunColdStart(), 0);
  line.writes.clear();
  ZorRequest request{&context, 3, 7, 0, nullptr};
  EXPECT_EQ(ConnectSecondary(&request, 5), 0);
  EXPECT_EQ(ConnectSecondary(&request, 1), 0);
  EXPECT_EQ(ConnectSecondary(&request, 254), 0);
  EXPECT_EQ(line.writes, (Strings{":000E0405FBED;", Wrap("0401"), Wrap("04FE")}));

  line.responder = nullptr;
  line.Reply(kMessageCodeZero);
  EXPECT_EQ(ConnectSecondary(&request, 9), 2);
  line.Silence();
  EXPECT_EQ(ConnectSecondary(&request, 9), 7);
  EXPECT_EQ(context.stations[9], 0);
}

class WarmStartTest : public StartupTest {
 protected:
  void SetUp() override {
    line.Reply(kConfigured);
    ASSERT_EQ(RunColdStart(), 0);
    line.writes.clear();
    line.trace.clear();
    log.Clear();
  }
};

TEST_F(WarmStartTest, ReconnectsMarkedStationsTheAdapterDoesNotList) {
  for (int station : {3, 4, 9, 10}) context.stations[station] = 1;
  context.stations[2] = 2;  // only entries of exactly 1 are known stations
  std::memset(context.requestFrame, 'R', sizeof context.requestFrame);
  line.Reply(kConfigured);
  line.Reply(
      Wrap("06"
           "03"
           "0A"));               // stations 3 and 10 are connected
  line.Reply(kMessageCodeZero);  // station 4 fails
  line.Reply(Wrap("04"));        // station 9 connects
  EXPECT_EQ(Run(2), 0);
  EXPECT_EQ(line.writes, (Strings{Wrap("12"), Wrap("06"), Wrap("0404"), Wrap("0409")}));
  EXPECT_EQ(log.Lines(),
            (Strings{"ZOR07: TW: ReconnectSecondarys(): Failed to connect scondary devices: 04",
                     "ZOR07: TW: WarmStart(): ended successfully rc = 0"}));
  EXPECT_EQ(line.trace.front(), "purge");
  EXPECT_EQ(context.requestFrame[0], 'R');
  EXPECT_EQ(context.stations[4], 1);
}

TEST_F(WarmStartTest, ShortStationListsListNothing) {
  for (const std::string& list : {Wrap(""), Wrap("06")}) {  // lengths 10 and 12
    line.writes.clear();
    context.stations[1] = 1;
    context.stations[254] = 1;
    line.Reply(kConfigured);
    line.Reply(list);
    line.Reply(Wrap("04"));
    line.Reply(Wrap("04"));
    EXPECT_EQ(Run(2), 0);
    EXPECT_EQ(line.writes, (Strings{Wrap("12"), Wrap("06"), Wrap("0401"), Wrap("04FE")}));
  }
}

TEST_F(WarmStartTest, ListedStationsOutsideTheNetworkAreIgnored) {
  context.stations[1] = 1;
  line.Reply(kConfigured);
  line.Reply(
      Wrap("06"
           "00"
           "FF"
           "01"));
  EXPECT_EQ(Run(2), 0);
  EXPECT_EQ(line.writes, (Strings{Wrap("12"), Wrap("06")}));
}

TEST_F(WarmStartTest, FailedStationListConnectsNothing) {
  context.stations[5] = 1;
  line.Reply(kConfigured);
  line.Silence();
  EXPECT_EQ(Run(2), 0);
  EXPECT_EQ(line.writes, (Strings{Wrap("12"), Wrap("06")}));
  EXPECT_EQ(log.Lines(), Strings{"ZOR07: TW: WarmStart(): ended successfully rc = 0"});
}

TEST_F(WarmStartTest, FailedConfigurationStopsBeforeTheStationList) {
  context.stations[5] = 1;
  line.Reply(kNotConfigured);
  line.Reply(kMessageCodeZero);
  EXPECT_EQ(Run(2), 2);
  EXPECT_EQ(line.writes, SequenceFrames(2));
  EXPECT_EQ(log.Lines(), (Strings{"ZOR07: TW: ConfigureAdapter(): fail rc = 2",
                                  "ZOR07: TW: WarmStart(): Fail rc = 2 "}));
  EXPECT_EQ(line.TimeoutMs(context.portHandle), 2500);
}

TEST_F(StartupTest, WarmStartWithoutPortOnlyLogsSuccess) {
  context.stations[3] = 1;
  context.ready = 0;
  EXPECT_EQ(Run(2), 0);
  EXPECT_TRUE(line.trace.empty());
  EXPECT_EQ(log.Lines(), Strings{"ZOR07: TW: WarmStart(): ended successfully rc = 0"});
}

}  // namespace
