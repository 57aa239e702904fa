// The gateway's logic without sockets: configuration refusals, the
// coalescing plan, quality of cached values and the order of writes, the
// last against a stand-in ZorMain.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

#include "base/point_records.h"
#include "tools/gateway/gw_config.h"
#include "tools/gateway/gw_gateway.h"
#include "tools/gateway/gw_plan.h"

namespace gateway {
namespace {

const char* kHead = R"([[line]]
name = "a"
port = "/tmp/x"
[[unit]]
id = 1
line = "a"
station = 5
)";

// Each case: the tables of unit 1 (after kHead), and the line and words
// of the refusal ("" when the file is good).
struct ConfigCase {
  const char* tables;
  int line;
  const char* reason;
};

TEST(GatewayConfig, RefusesBadFilesWithLineAndReason) {
  const ConfigCase cases[] = {
      {"[[unit.holding]]\naddress = 0\ncount = 4\nv = 0x64\n", 0, ""},
      {"[[unit.holding]]\naddress = 0\ncount = 4\nv = 0x64\n[[unit.holding]]\naddress = 3\ncount = "
       "2\nv = 0x100\n",
       12, "overlaps the range at line 8"},
      // The same Modbus addresses in different tables do not overlap.
      {"[[unit.holding]]\naddress = 0\ncount = 4\nv = 0x64\n[[unit.input]]\naddress = 0\ncount = "
       "2\nv = 0x64\n",
       0, ""},
      {"[[unit.holding]]\naddress = 0\ncount = 4\nv = 0\n", 11, "outside 0001..FFFF"},
      {"[[unit.holding]]\naddress = 0\ncount = 4\nv = 0x10000\n", 11, "outside 0001..FFFF"},
      {"[[unit.holding]]\naddress = 0\ncount = 4\nv = 0xFFFE\n", 10, "run past FFFF"},
      {"[[unit.input]]\naddress = 0\ncount = 2\nf = 0x101\n", 11,
       "F range at the odd address 0101"},
      {"[[unit.input]]\naddress = 0\ncount = 3\nf = 0x100\n", 10, "count 3 is odd"},
      {"[[unit.holding]]\naddress = 65534\ncount = 4\nv = 0x64\n", 10, "goes beyond 65535"},
      {"[[unit.coil]]\naddress = 0\ncount = 4\nx = 0x64\n", 11, "unknown key 'x'"},
      {"[[unit.coil]]\naddress = 0\ncount = 4\ny = 0x20\nbit = 3\n", 12,
       "bit applies to coils on V"},
      {"[[unit.input]]\naddress = 0\ncount = 4\nv = 1\nf = 2\n", 8, "exactly one point key"},
      {"[[unit.holding]]\naddress = 0\ncount = 4\nv = 1\npoll = 5\n", 12, "unknown key 'poll'"},
      {"[[unit.holding]]\naddress = 0\ncount = 4\nv = = 1\n", 11, ""},  // TOML syntax
  };
  for (const ConfigCase& c : cases) {
    const ConfigResult result = ParseConfig(std::string(kHead) + c.tables, "g.toml");
    if (c.line == 0) {
      EXPECT_TRUE(result.config.has_value()) << c.tables << result.error;
      continue;
    }
    EXPECT_FALSE(result.config.has_value()) << c.tables;
    EXPECT_EQ(result.error.rfind("g.toml:" + std::to_string(c.line) + ":", 0), 0u)
        << c.tables << " -> " << result.error;
    EXPECT_NE(result.error.find(c.reason), std::string::npos) << result.error;
  }
  // Unit and line level refusals.
  const std::pair<std::string, std::string> files[] = {
      {std::string(kHead).replace(std::string(kHead).find("station = 5"), 11, "station = 255") +
           "[[unit.holding]]\naddress = 0\ncount = 1\nv = 1\n",
       "g.toml:7: station must be 0x01..0xFE"},
      {std::string(kHead).replace(std::string(kHead).find("station = 5"), 11, "station = 0") +
           "[[unit.holding]]\naddress = 0\ncount = 1\nv = 1\n",
       "g.toml:7: station must be 0x01..0xFE"},
      {std::string(kHead).replace(std::string(kHead).find("line = \"a\""), 10, "line = \"b\""),
       "g.toml:6: no [[line]] is named 'b'"},
      {"[[line]]\nname = \"a\"\nport = \"/dev/serial/by-id/x\"\n", "g.toml:3: port '/dev/serial"},
  };
  for (const auto& [text, error] : files) {
    const ConfigResult result = ParseConfig(text, "g.toml");
    EXPECT_EQ(result.error.substr(0, error.size()), error) << result.error;
  }
}

LineCost Cost19200() {
  return LineCost::Of(LineSettings{19200, 7, 0, 1});
}

std::string Describe(const std::vector<Block>& blocks) {
  std::string text;
  for (const Block& b : blocks) {
    char one[40];
    std::snprintf(one, sizeof one, "%s%02X%c%04X:%u", text.empty() ? "" : " ", b.station, b.memory,
                  b.first, b.count);
    text += one;
  }
  return text;
}

TEST(GatewayPlan, CoalescesWithinLimitsAndBridgesCheapGaps) {
  // At 19200 baud 7O1 a character takes 0.52 ms: a new request costs
  // 52 characters and 50 ms, that is about 148 characters, so gaps under
  // 37 words or 74 discretes are read rather than asked for again.
  struct PlanCase {
    const char* name;
    std::vector<Need> needs;
    const char* blocks;
  };
  const PlanCase cases[] = {
      {"adjacent ranges merge",
       {{5, 'V', 1, 10, 0, false}, {5, 'V', 11, 20, 0, false}},
       "05V0001:20"},
      {"a 30-word gap is bridged",
       {{5, 'V', 1, 10, 0, false}, {5, 'V', 41, 50, 0, false}},
       "05V0001:50"},
      {"a 40-word gap is not",
       {{5, 'V', 1, 10, 0, false}, {5, 'V', 51, 60, 0, false}},
       "05V0001:10 05V0033:10"},
      {"70 discretes bridged, 80 not",
       {{5, 'X', 1, 10, 0, false}, {5, 'X', 81, 90, 0, false}, {5, 'X', 171, 180, 0, false}},
       "05X0001:90 05X00AB:10"},
      {"62 words per read", {{5, 'V', 1, 100, 0, false}}, "05V0001:62 05V003F:38"},
      {"124 discretes per read", {{5, 'C', 1, 125, 0, false}}, "05C0001:124 05C007D:1"},
      {"stations, memories and periods are read apart",
       {{5, 'V', 1, 2, 0, false},
        {6, 'V', 3, 4, 0, false},
        {5, 'Y', 3, 4, 0, false},
        {5, 'V', 3, 4, 500, false}},
       "05V0001:2 05V0003:2 05Y0003:2 06V0003:2"},
      {"an F value is never split",
       {{5, 'V', 1, 61, 0, false}, {5, 'V', 62, 65, 0, true}},
       "05V0001:61 05V003E:4"},
      {"a word two periods need is read at the shorter",
       {{5, 'V', 1, 4, 1000, false}, {5, 'V', 3, 6, 200, false}},
       "05V0003:4 05V0001:2"},
      {"overlapping ranges read once",
       {{5, 'V', 1, 8, 0, false}, {5, 'V', 5, 12, 0, false}},
       "05V0001:12"},
  };
  for (const PlanCase& c : cases) {
    EXPECT_EQ(Describe(PlanBlocks(c.needs, Cost19200(), true)), c.blocks) << c.name;
  }
  // Without coalescing every need is read on its own.
  EXPECT_EQ(Describe(PlanBlocks(cases[0].needs, Cost19200(), false)), "05V0001:10 05V000B:10");
  // The cover costs no more than the plain plan, on a spread of gaps.
  std::vector<Need> spread;
  for (uint32_t i = 0; i < 40; ++i)
    spread.push_back({5, 'V', 1 + i * (10 + i), 8 + i * (10 + i), 0, false});
  double coalesced = 0, plain = 0;
  for (const Block& b : PlanBlocks(spread, Cost19200(), true))
    coalesced += Cost19200().ReadMs('V', b.count);
  for (const Block& b : PlanBlocks(spread, Cost19200(), false))
    plain += Cost19200().ReadMs('V', b.count);
  EXPECT_LT(coalesced, plain);
}

// A stand-in driver: station memory in a map, a scripted status for writes,
// and a record of the order of commands.
struct FakeDriver {
  std::mutex mutex;
  std::map<std::pair<char, uint32_t>, uint16_t> memory;  // (letter, element) of station 5
  int32_t writeStatus = 0;
  int32_t readStatus = 0;
  std::vector<std::string> calls;
  bool hold = false;     // reads wait while set
  bool holding = false;  // a read is waiting
  std::condition_variable changed;
};
FakeDriver g_fake;

int32_t FakeZorMain(ZorRequest* request) {
  std::unique_lock<std::mutex> lock(g_fake.mutex);
  switch (request->command) {
    case 14:
      static_cast<DriverInfo*>(request->params)->contextSize = 1470;
      return 0;
    case 1:
    case 11:
      return 0;
    case 3:
    case 4: {
      auto* d = static_cast<PointDefinition*>(request->params);
      const std::string text = d->addressText;
      d->address.station = std::stoi(text.substr(0, 2), nullptr, 16);
      d->address.typeLetter = text[2];
      d->address.elementAddress = static_cast<uint32_t>(std::stoul(text.substr(3, 4), nullptr, 16));
      d->address.bitNumber = text.size() == 8 ? std::stoi(text.substr(7), nullptr, 16) : 255;
      d->address.bitsPerElement = text[2] == 'V' ? 16 : 1;
      return 0;
    }
    case 5:
    case 7: {
      auto* r = static_cast<BlockRequest*>(request->params);
      const char letter = static_cast<char>(r->address.typeLetter);
      const uint32_t first = r->address.elementAddress;
      const bool write = request->command == 7;
      if (!write && g_fake.hold) {
        g_fake.holding = true;
        g_fake.changed.notify_all();
        g_fake.changed.wait(lock, [] { return !g_fake.hold; });
        g_fake.holding = false;
      }
      g_fake.calls.push_back(std::string(write ? "write " : "read ") + letter +
                             std::to_string(first));
      if (write && g_fake.writeStatus != 0) return g_fake.writeStatus;
      if (!write && g_fake.readStatus != 0) return g_fake.readStatus;
      for (int32_t k = 0; k < r->elementCount; ++k) {
        uint16_t& cell = g_fake.memory[{letter, first + static_cast<uint32_t>(k)}];
        if (write && r->address.bitNumber != 255) {
          cell = static_cast<uint16_t>((cell & ~(1u << r->address.bitNumber)) |
                                       ((r->data[1] & 1u) << r->address.bitNumber));
        } else if (write) {
          cell = r->data[k + 1];
        } else if (letter != 'V') {
          r->data[2 * k + 1] = cell;
        } else {
          r->data[r->elementCount == 1 ? 1 : k] = cell;
        }
      }
      return 0;
    }
  }
  return -1;
}

Config TwoTableConfig() {
  const ConfigResult result = ParseConfig(std::string(kHead) + R"(
[[unit.holding]]
address = 0
count = 4
v = 0x64
poll_ms = 100
max_age_ms = 2000
[[unit.coil]]
address = 0
count = 2
v = 0x64
bit = 15
poll_ms = 100
max_age_ms = 2000
[[unit.input]]
address = 0
count = 2
f = 0x100
)",
                                          "g.toml");
  EXPECT_TRUE(result.config.has_value()) << result.error;
  return *result.config;
}

TEST(GatewayQuality, FailedOrStaleValuesAreNeverServed) {
  const Config config = TwoTableConfig();
  const Plan plan = MakePlan(config);
  Gateway gateway(config, plan, &FakeZorMain);  // lines not started: the test fills the cache
  Line& line = gateway.LineAt(0);
  ASSERT_EQ(line.Blocks().size(), 2u);  // V0064 x5 (holding, and coils up to word 0065), V0100 x2
  const auto t0 = Clock::now();
  std::vector<uint16_t> out;
  // Never read: no good value yet.
  EXPECT_EQ(gateway.Read(1, Kind::Holding, 0, 4, out, t0), kGatewayTarget);
  line.StoreRead(0, true, {11, 22, 33, 0x8000, 0x0001}, t0);
  ASSERT_EQ(gateway.Read(1, Kind::Holding, 1, 3, out, t0 + std::chrono::milliseconds(2000)), kOk);
  EXPECT_EQ(out, (std::vector<uint16_t>{22, 33, 0x8000}));
  // Coils 0 and 1: bit 15 of V0064 (11: clear), bit 0 of V0065 (22: clear).
  ASSERT_EQ(gateway.Read(1, Kind::Coil, 0, 2, out, t0), kOk);
  EXPECT_EQ(out, (std::vector<uint16_t>{0, 0}));
  line.StoreRead(0, true, {0x8000, 0x0001, 0, 0, 0}, t0);
  ASSERT_EQ(gateway.Read(1, Kind::Coil, 0, 2, out, t0), kOk);
  EXPECT_EQ(out, (std::vector<uint16_t>{1, 1}));
  // Older than its age: refused, as is a range reaching into a bad block.
  EXPECT_EQ(gateway.Read(1, Kind::Holding, 0, 1, out, t0 + std::chrono::milliseconds(2001)),
            kGatewayTarget);
  EXPECT_EQ(gateway.Read(1, Kind::Input, 0, 2, out, t0), kGatewayTarget);
  // A failed read spoils the block at once, whatever its age; the next good
  // one restores it.
  line.StoreRead(0, false, {}, t0 + std::chrono::milliseconds(10));
  EXPECT_EQ(gateway.Read(1, Kind::Holding, 0, 1, out, t0 + std::chrono::milliseconds(11)),
            kGatewayTarget);
  line.StoreRead(0, true, {7, 8, 9, 10, 0}, t0 + std::chrono::milliseconds(20));
  EXPECT_EQ(gateway.Read(1, Kind::Holding, 0, 1, out, t0 + std::chrono::milliseconds(21)), kOk);
  // Addresses and units outside the configuration.
  EXPECT_EQ(gateway.Read(1, Kind::Holding, 2, 3, out, t0), kIllegalAddress);
  EXPECT_EQ(gateway.Read(1, Kind::Discrete, 0, 1, out, t0), kIllegalAddress);
  EXPECT_EQ(gateway.Read(2, Kind::Holding, 0, 1, out, t0), kGatewayPath);
  EXPECT_EQ(gateway.Write(2, Kind::Holding, 0, {1}), kGatewayPath);
  // The diagnostics unit answers its registers and refuses writes.
  ASSERT_EQ(gateway.Read(247, Kind::Input, 0, 3, out, t0), kOk);
  EXPECT_EQ(out, (std::vector<uint16_t>{1, 1, 1}));
  EXPECT_EQ(gateway.Write(247, Kind::Holding, 0, {1}), kIllegalAddress);
}

template <typename Pred>
bool WaitUntil(Pred pred) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

TEST(GatewayWrites, GoAheadOfPollsAndAFailedWriteLeavesTheCache) {
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.memory = {{{'V', 0x64}, 100}, {{'V', 0x65}, 0x0000}};
  }
  const Config config = TwoTableConfig();
  Gateway gateway(config, MakePlan(config), &FakeZorMain);
  gateway.Start();
  std::vector<uint16_t> out;
  ASSERT_TRUE(
      WaitUntil([&] { return gateway.Read(1, Kind::Holding, 0, 1, out, Clock::now()) == kOk; }));
  EXPECT_EQ(out[0], 100);

  // A good write answers after the driver and updates the cache at once.
  ASSERT_EQ(gateway.Write(1, Kind::Holding, 0, {200, 201}), kOk);
  ASSERT_EQ(gateway.Read(1, Kind::Holding, 0, 2, out, Clock::now()), kOk);
  EXPECT_EQ(out, (std::vector<uint16_t>{200, 201}));
  // A coil on bit 0 of V0065 (the second coil): a single-bit write.
  ASSERT_EQ(gateway.Write(1, Kind::Coil, 1, {1}), kOk);
  ASSERT_EQ(gateway.Read(1, Kind::Holding, 1, 1, out, Clock::now()), kOk);
  EXPECT_EQ(out[0], 201 | 1);

  // A failed write: exception 0x04 and the cache keeps the old values, even
  // though the controller's memory changes (the poll, paused here, would
  // bring the new value later).
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.writeStatus = 258;
    g_fake.readStatus = 2;  // the polls fail too: nothing can refresh the cache
  }
  EXPECT_EQ(gateway.Write(1, Kind::Holding, 0, {300}), kDeviceFailure);
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    EXPECT_EQ((g_fake.memory[{'V', 0x64}]), 200);
    g_fake.writeStatus = 0;
    g_fake.readStatus = 0;
    g_fake.calls.clear();
  }
  ASSERT_TRUE(
      WaitUntil([&] { return gateway.Read(1, Kind::Holding, 0, 1, out, Clock::now()) == kOk; }));
  EXPECT_EQ(out[0], 200);
  // Writes queued while a poll runs go before the next poll.
  {
    std::unique_lock<std::mutex> lock(g_fake.mutex);
    g_fake.hold = true;
    ASSERT_TRUE(
        g_fake.changed.wait_for(lock, std::chrono::seconds(20), [] { return g_fake.holding; }));
    g_fake.calls.clear();
  }
  std::thread writer([&] { EXPECT_EQ(gateway.Write(1, Kind::Holding, 2, {5, 6}), kOk); });
  std::thread writer2([&] { EXPECT_EQ(gateway.Write(1, Kind::Holding, 3, {7}), kOk); });
  EXPECT_TRUE(WaitUntil([&] { return gateway.LineAt(0).QueuedWrites() == 2; }));
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.hold = false;
    g_fake.changed.notify_all();
  }
  writer.join();
  writer2.join();
  gateway.Stop();
  std::lock_guard<std::mutex> lock(g_fake.mutex);
  // The held read, then both writes, then polls again.
  ASSERT_GE(g_fake.calls.size(), 3u);
  EXPECT_EQ(g_fake.calls[0].rfind("read", 0), 0u);
  EXPECT_EQ(g_fake.calls[1].rfind("write", 0), 0u);
  EXPECT_EQ(g_fake.calls[2].rfind("write", 0), 0u);
}

}  // namespace
}  // namespace gateway
