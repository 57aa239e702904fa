// The gateway's logic without sockets: configuration refusals, the
// coalescing plan, quality of cached values (through the Modbus and the
// MQTT side) and the order of writes, the last against a stand-in ZorMain.
#include "gateway/core/gateway.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "gateway/config/config.h"
#include "gateway/core/plan.h"
#include "gateway/modbus/pdu.h"
#include "gateway/modbus/units.h"
#include "gateway/mqtt/mq_gateway.h"
#include "gateway/report/diagnostics.h"
#include "gateway/report/prometheus.h"
#include "gateway/report/stats.h"
#include "host/driver.h"
#include "tests/gateway/raw_client.h"
#include "zortw/log_formats.h"
#include "zortw/zortw.h"

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
      // Writable tables, word order, Y and C as discrete inputs, F in holding registers.
      {"[[unit.holding]]\naddress = 0\ncount = 2\nf = 0x64\nwritable = true\n", 0, ""},
      {"[[unit.discrete]]\naddress = 0\ncount = 2\nc = 0x20\n", 0, ""},
      {"[[unit.holding]]\naddress = 0\ncount = 2\nv = 0x64\nword_order = \"low-first\"\n", 12,
       "word_order applies to F tables only"},
      {"[[unit.input]]\naddress = 0\ncount = 2\nf = 0x64\nword_order = \"middle\"\n", 12,
       "is not \"high-first\" or \"low-first\""},
      // A value of the wrong type: the type expected and the value written.
      {"[[unit.coil]]\naddress = 0\ncount = 2\ny = 0x20\nwritable = 1\n", 12,
       "writable: expected true or false, got the integer 1"},
      {"[[unit.holding]]\naddress = 0\ncount = 2\nv = 0x64\npoll_ms = 1.5\n", 12,
       "poll_ms: expected an integer (0 to 3600000), got the float 1.5"},
      {"[[unit.holding]]\naddress = \"0\"\ncount = 2\nv = 0x64\n", 9,
       "address: expected an integer (0 to 65535), got the string \"0\""},
      {"[[unit.holding]]\naddress = 0\ncount = 2\nv = \"0064\"\n", 11,
       "v: expected an element address (an integer, 1 to 65535 / 0x0001 to 0xFFFF), got the "
       "string \"0064\""},
      {"[[unit.input]]\naddress = 0\ncount = 2\nf = 0x64\nword_order = 1\n", 12,
       "word_order: expected a string, got the integer 1"},
      {"[[unit.input]]\naddress = 0\ncount = 2\nf = 0x64\ndeadband = \"1\"\n", 12,
       "deadband: expected a number >= 0, got the string \"1\""},
      {"[[unit.input]]\naddress = 0\ncount = 2\nv = 0x20\nwritable = true\n", 12,
       "unknown key 'writable'"},
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
       "g.toml:7: station = 255 is outside 1 to 254 (0x01 to 0xFE)"},
      {std::string(kHead).replace(std::string(kHead).find("station = 5"), 11, "station = 0") +
           "[[unit.holding]]\naddress = 0\ncount = 1\nv = 1\n",
       "g.toml:7: station = 0 is outside 1 to 254 (0x01 to 0xFE)"},
      {std::string(kHead).replace(std::string(kHead).find("station = 5"), 11, "station = \"02\"") +
           "[[unit.holding]]\naddress = 0\ncount = 1\nv = 1\n",
       "g.toml:7: station: expected an integer (1 to 254 / 0x01 to 0xFE), got the string \"02\""},
      {"[[line]]\nname = \"a\"\nport = 5\n",
       "g.toml:3: port: expected a string, got the integer 5"},
      {std::string(kHead).replace(std::string(kHead).find("line = \"a\""), 10, "line = \"b\""),
       "g.toml:6: no [[line]] is named 'b'"},
      {"[[line]]\nname = \"a\"\nport = \"/dev/serial/by-id/x\"\n", "g.toml:3: port '/dev/serial"},
      // The refusal of a long name names the udev recipe.
      {"[[line]]\nname = \"a\"\nport = \"/dev/serial/by-id/x\"\n",
       "g.toml:3: port '/dev/serial/by-id/x' must have 1 to 11 characters (a name without '/' is "
       "in /dev): give the adapter a short name of its own with a udev rule"},
      {"[[line]]\nname = \"a\"\nport = \"/tmp/x\"\n[[line]]\nname = \"b\"\nport = \"/tmp/x\"\n",
       "g.toml:6: port '/tmp/x' is the port of line 'a'"},
  };
  for (const auto& [text, error] : files) {
    const ConfigResult result = ParseConfig(text, "g.toml");
    EXPECT_EQ(result.error.substr(0, error.size()), error) << result.error;
  }
}

// Units on one station of one line: refused when they read the same
// points (both units' places named), accepted with points of their own or
// on another line.
TEST(GatewayConfig, TwoUnitsOnOneStationMustReadDifferentPoints) {
  const std::string head = std::string(kHead) +
                           "[[unit.holding]]\naddress = 0\ncount = 4\nv = 0x64\n"
                           "[[line]]\nname = \"b\"\nport = \"/tmp/y\"\n";
  struct Case {
    const char* second;  // unit 2, from line 15 of the file
    const char* error;   // "" when the file is good
  };
  const Case cases[] = {
      {"[[unit]]\nid = 2\nline = \"a\"\nstation = 5\n"
       "[[unit.input]]\naddress = 0\ncount = 2\nv = 0x66\n",
       "g.toml:15: unit 2 and unit 1 (g.toml:4) both read station 05 on line 'a': their V ranges "
       "0066..0067 (g.toml:19) and 0064..0067 (g.toml:8) overlap"},
      // F values are V words: F0060 x2 is V0060..V0061, clear of V0064.
      {"[[unit]]\nid = 2\nline = \"a\"\nstation = 5\n"
       "[[unit.input]]\naddress = 0\ncount = 2\nf = 0x60\n",
       ""},
      {"[[unit]]\nid = 2\nline = \"a\"\nstation = 5\n"
       "[[unit.input]]\naddress = 0\ncount = 4\nf = 0x62\n",
       "g.toml:15: unit 2 and unit 1 (g.toml:4) both read station 05 on line 'a': their V ranges "
       "0062..0065"},
      // Another memory, another station, another line: no conflict.
      {"[[unit]]\nid = 2\nline = \"a\"\nstation = 5\n"
       "[[unit.discrete]]\naddress = 0\ncount = 4\nx = 0x64\n",
       ""},
      {"[[unit]]\nid = 2\nline = \"a\"\nstation = 6\n"
       "[[unit.input]]\naddress = 0\ncount = 2\nv = 0x64\n",
       ""},
      {"[[unit]]\nid = 2\nline = \"b\"\nstation = 5\n"
       "[[unit.input]]\naddress = 0\ncount = 2\nv = 0x64\n",
       ""},
  };
  for (const Case& c : cases) {
    const ConfigResult result = ParseConfig(head + c.second, "g.toml");
    if (*c.error == '\0') {
      EXPECT_TRUE(result.config.has_value()) << c.second << result.error;
    } else {
      EXPECT_EQ(result.error.rfind(c.error, 0), 0u) << c.second << " -> " << result.error;
    }
  }
}

// Named files are checked with the system's reason; a secret must be its
// owner's alone (credentials: named_files.sh).
TEST(GatewayConfig, NamedFilesAreCheckedWithTheSystemsReason) {
  char tmpl[] = "/tmp/gw-files-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  for (const auto& [name, mode] : {std::pair{"pw", 0600}, std::pair{"shared", 0644}}) {
    std::ofstream(dir + "/" + name) << "secret\n";
    chmod((dir + "/" + name).c_str(), static_cast<mode_t>(mode));
  }
  const std::string pw = "g.toml:14: [mqtt] password_file: " + dir;
  const struct {
    std::string password, more, error;  // error "": accepted
  } rows[] = {
      {dir + "/pw", "", ""},
      {dir + "/none", "", pw + "/none: No such file or directory"},
      {dir, "", pw + ": Is a directory"},
      {dir + "/shared", "", pw + "/shared: permissions 0644 are too open"},
      {dir + "/shared", "[gateway]\nallow_shared_secrets = true\n", ""},
      {dir + "/pw", "store_path = \"" + dir + "/no/s.db\"\n",
       "g.toml:15: [mqtt] store_path's folder: " + dir + "/no: No such file or directory"},
  };
  for (const auto& row : rows) {
    const std::string text = std::string(kHead) + "holding = [{address = 0, count = 1, v = 1}]\n" +
                             "[mqtt]\nurl = \"mqtt://h:1\"\ngroup_id = \"g\"\nedge_node_id = " +
                             "\"n\"\nusername = \"u\"\npassword_file = \"" + row.password + "\"\n" +
                             row.more;
    const ConfigResult result = ParseConfig(text, "g.toml");
    ASSERT_TRUE(result.config) << result.error;
    const std::string error = CheckFiles(*result.config, "g.toml");
    EXPECT_EQ(error.substr(0, row.error.size()), row.error) << text;
    EXPECT_EQ(error.empty(), row.error.empty()) << error;
  }
  std::filesystem::remove_all(dir);
}

// Client rules: refusals with their line, and which rule an address meets
// (the first that covers it; IPv4-mapped IPv6 as IPv4).
TEST(GatewayConfig, ClientRulesMatchAddressesAndNetworks) {
  const std::string head = std::string(kHead) + "[[unit.holding]]\naddress = 0\ncount = 1\nv = 1\n";
  const std::pair<const char*, const char*> refused[] = {
      {"[[client]]\naddress = \"10.1.0.0/33\"\nrole = \"read\"\n", "g.toml:13: client network"},
      {"[[client]]\naddress = \"10.1.0\"\nrole = \"read\"\n", "g.toml:13: client address"},
      {"[[client]]\naddress = \"::1\"\nrole = \"admin\"\n", "g.toml:14: role 'admin'"},
      {"[[client]]\naddress = \"::1\"\nrole = \"read\"\nunits = [9]\n", "g.toml:15: units"},
      {"[[client]]\naddress = \"::1\"\n", "g.toml:12: [[client]] needs role"},
  };
  for (const auto& [text, error] : refused) {
    const ConfigResult result = ParseConfig(head + text, "g.toml");
    EXPECT_EQ(result.error.rfind(error, 0), 0u) << text << " -> " << result.error;
  }
  const ConfigResult result = ParseConfig(head + R"([[client]]
address = "10.1.2.3"
role = "write"
[[client]]
address = "10.1.0.0/16"
role = "read"
units = [1, 247]
[[client]]
address = "fd00:10::/64"
role = "write"
[[client]]
address = "0.0.0.0/0"
role = "read"
)",
                                          "g.toml");
  ASSERT_TRUE(result.config.has_value()) << result.error;
  const std::pair<const char*, const char*> cases[] = {
      {"10.1.2.3", "10.1.2.3"},  {"10.1.2.4", "10.1.0.0/16"},    {"::ffff:10.1.9.9", "10.1.0.0/16"},
      {"10.2.0.1", "0.0.0.0/0"}, {"fd00:10::5", "fd00:10::/64"}, {"fd00:11::5", nullptr},
      {"::1", nullptr},          {"not an address", nullptr},
  };
  for (const auto& [address, rule] : cases) {
    const ClientRule* found = result.config->RuleFor(address);
    EXPECT_EQ(found == nullptr ? std::string("none") : found->text,
              rule == nullptr ? std::string("none") : rule)
        << address;
  }
  EXPECT_EQ(result.config->RuleFor("10.1.0.7")->units, (std::vector<int>{1, 247}));
}

LineCost Cost19200() {
  return LineCost::Of(ZorLineSettings{19200, 7, 0, 1});
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
  int coldStarts = 0;
  // Not 0: ColdStart logs that the adapter's configuration failed with this
  // status (and returns 0, as the driver does); WarmStart returns it.
  int32_t adapterStatus = 0;
};
FakeDriver g_fake;

int32_t FakeZorMain(ZorRequest* request) {
  std::unique_lock<std::mutex> lock(g_fake.mutex);
  switch (request->command) {
    case ZOR_GET_DRIVER_INFO:
      static_cast<ZorDriverInfo*>(request->params)->contextSize = ZOR_CONTEXT_SIZE;
      return 0;
    case ZOR_COLD_START: {
      // ColdStart: the port must exist (the line-recovery test removes it).
      const auto* p = static_cast<ZorColdStartParams*>(request->params);
      ++g_fake.coldStarts;
      if (access(p->portName, F_OK) != 0 && std::strcmp(p->portName, "/tmp/x") != 0) {
        return ZOR_LINE_FAILURE;
      }
      if (g_fake.adapterStatus != 0) {
        zortw_host::CollectingLog(0, log_format::kColdStartFailed, 1, g_fake.adapterStatus);
      }
      return ZOR_OK;
    }
    case ZOR_WARM_START:
      return g_fake.adapterStatus;
    case ZOR_STOP:
    case ZOR_CLOSE_PORT:
      return 0;
    case ZOR_DEFINE_POINT:
    case ZOR_CHECK_BLOCK: {
      auto* d = static_cast<ZorPointDefinition*>(request->params);
      const std::string text = d->addressText;
      d->address.station = std::stoi(text.substr(0, 2), nullptr, 16);
      d->address.typeLetter = text[2];
      d->address.elementAddress = static_cast<uint32_t>(std::stoul(text.substr(3, 4), nullptr, 16));
      d->address.bitNumber =
          text.size() == 8 ? std::stoi(text.substr(7), nullptr, 16) : ZOR_WHOLE_ELEMENT;
      d->address.bitsPerElement = text[2] == 'V' ? 16 : 1;
      return 0;
    }
    case ZOR_READ_BLOCK:
    case ZOR_WRITE_BLOCK: {
      auto* r = static_cast<ZorBlockRequest*>(request->params);
      const char letter = static_cast<char>(r->address.typeLetter);
      const uint32_t first = r->address.elementAddress;
      const bool write = request->command == ZOR_WRITE_BLOCK;
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
        if (write && r->address.bitNumber != ZOR_WHOLE_ELEMENT) {
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
  return ZOR_NO_COMMAND;
}

Config TwoTableConfig() {
  const ConfigResult result = ParseConfig(std::string(kHead) + R"(
[[unit.holding]]
address = 0
count = 4
v = 0x64
writable = true
poll_ms = 100
max_age_ms = 2000
[[unit.coil]]
address = 0
count = 2
v = 0x64
bit = 15
writable = true
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
  modbus::Units units(gateway);
  Line& line = gateway.LineAt(0);
  ASSERT_EQ(line.Blocks().size(), 2u);  // V0064 x5 (holding, and coils up to word 0065), V0100 x2
  const auto t0 = Clock::now();
  std::vector<uint16_t> out;
  // Never read: no good value yet.
  EXPECT_EQ(units.Read(1, Kind::Holding, 0, 4, out, t0), kGatewayTarget);
  line.StoreRead(0, true, {11, 22, 33, 0x8000, 0x0001}, t0);
  ASSERT_EQ(units.Read(1, Kind::Holding, 1, 3, out, t0 + std::chrono::milliseconds(2000)), kOk);
  EXPECT_EQ(out, (std::vector<uint16_t>{22, 33, 0x8000}));
  // Coils 0 and 1: bit 15 of V0064 (11: clear), bit 0 of V0065 (22: clear).
  ASSERT_EQ(units.Read(1, Kind::Coil, 0, 2, out, t0), kOk);
  EXPECT_EQ(out, (std::vector<uint16_t>{0, 0}));
  line.StoreRead(0, true, {0x8000, 0x0001, 0, 0, 0}, t0);
  ASSERT_EQ(units.Read(1, Kind::Coil, 0, 2, out, t0), kOk);
  EXPECT_EQ(out, (std::vector<uint16_t>{1, 1}));
  // Older than its age: refused, as is a range reaching into a bad block.
  EXPECT_EQ(units.Read(1, Kind::Holding, 0, 1, out, t0 + std::chrono::milliseconds(2001)),
            kGatewayTarget);
  EXPECT_EQ(units.Read(1, Kind::Input, 0, 2, out, t0), kGatewayTarget);
  // A failed read spoils the block at once, whatever its age; the next good
  // one restores it.
  line.StoreRead(0, false, {}, t0 + std::chrono::milliseconds(10));
  EXPECT_EQ(units.Read(1, Kind::Holding, 0, 1, out, t0 + std::chrono::milliseconds(11)),
            kGatewayTarget);
  line.StoreRead(0, true, {7, 8, 9, 10, 0}, t0 + std::chrono::milliseconds(20));
  EXPECT_EQ(units.Read(1, Kind::Holding, 0, 1, out, t0 + std::chrono::milliseconds(21)), kOk);
  // Addresses and units outside the configuration.
  EXPECT_EQ(units.Read(1, Kind::Holding, 2, 3, out, t0), kIllegalAddress);
  EXPECT_EQ(units.Read(1, Kind::Discrete, 0, 1, out, t0), kIllegalAddress);
  EXPECT_EQ(units.Read(2, Kind::Holding, 0, 1, out, t0), kGatewayPath);
  EXPECT_EQ(units.Write(2, Kind::Holding, 0, {1}), kGatewayPath);
  // The diagnostics unit answers its registers and refuses writes.
  ASSERT_EQ(units.Read(247, Kind::Input, 0, 3, out, t0), kOk);
  EXPECT_EQ(out, (std::vector<uint16_t>{1, 1, 1}));
  EXPECT_EQ(units.Write(247, Kind::Holding, 0, {1}), kIllegalAddress);
}

// One quality rule for both sides: the moment a poll fails, or a value
// passes its table's max_age_ms, Modbus answers 0x0B and the MQTT metric is
// not good; a good poll serves both.
TEST(GatewayQuality, ModbusAndMqttFollowOneRule) {
  const Config config = TwoTableConfig();
  Gateway gateway(config, MakePlan(config), &FakeZorMain);
  modbus::Units units(gateway);
  const mqtt::Model model = mqtt::BuildModel(config);
  ASSERT_EQ(model.devices[0].metrics[0].name, "V0064");
  const auto t0 = Clock::now();
  const struct {
    const char* what;
    bool pollGood;  // the poll stored at `pollMs` (none when negative)
    int pollMs, askMs;
    uint8_t modbus;
    bool mqttGood;
  } rows[] = {
      {"never read", false, -1, 0, kGatewayTarget, false},
      {"good", true, 0, 10, kOk, true},
      {"good at its age", true, -1, 2000, kOk, true},
      {"older than its age", true, -1, 2001, kGatewayTarget, false},
      {"good again", true, 2100, 2110, kOk, true},
      {"a failed poll, young values", false, 2120, 2121, kGatewayTarget, false},
      {"good again", true, 2130, 2131, kOk, true},
  };
  for (const auto& row : rows) {
    if (row.pollMs >= 0) {
      gateway.LineAt(0).StoreRead(0, row.pollGood, {11, 22, 33, 0, 0},
                                  t0 + std::chrono::milliseconds(row.pollMs));
    }
    const auto at = t0 + std::chrono::milliseconds(row.askMs);
    std::vector<uint16_t> out;
    EXPECT_EQ(units.Read(1, Kind::Holding, 0, 1, out, at), row.modbus) << row.what;
    std::vector<mqtt::Value> values;
    mqtt::ReadDevice(gateway, model.devices[0], at, values);
    EXPECT_EQ(values[0].good, row.mqttGood) << row.what;
    if (row.mqttGood) {
      EXPECT_EQ(values[0].bits, 11u) << row.what;
    }
  }
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

// An adapter whose configuration fails leaves the line "configuring failed"
// (phase 5), reading nothing, its values 0x0B, until a WarmStart succeeds.
TEST(GatewayLine, AFailedAdapterConfigurationHoldsTheLineUntilItSucceeds) {
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.memory = {{{'V', 0x64}, 100}};
    g_fake.adapterStatus = ZOR_NO_REPLY;
    g_fake.calls.clear();
  }
  const Config config = TwoTableConfig();
  Gateway gateway(config, MakePlan(config), &FakeZorMain);
  modbus::Units units(gateway);
  gateway.Start();
  ASSERT_TRUE(
      WaitUntil([&] { return gateway.LineAt(0).CurrentPhase() == Phase::ConfiguringFailed; }));
  EXPECT_STREQ(PhaseName(Phase::ConfiguringFailed), "configuring failed");
  std::vector<uint16_t> out;
  EXPECT_EQ(units.Read(1, Kind::Holding, 0, 1, out, Clock::now()), kGatewayTarget);
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    EXPECT_TRUE(g_fake.calls.empty()) << g_fake.calls.front();
    // The adapter unplugged meanwhile: WarmStart fails at once on the port.
    g_fake.adapterStatus = ZOR_LINE_FAILURE;
  }
  const int coldStarts = [] {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    return g_fake.coldStarts;
  }();
  // The port is closed and opened again (not WarmStart on the old handle).
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    return g_fake.coldStarts > coldStarts;
  }));
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.adapterStatus = 0;
  }
  ASSERT_TRUE(
      WaitUntil([&] { return units.Read(1, Kind::Holding, 0, 1, out, Clock::now()) == kOk; }));
  EXPECT_EQ(out[0], 100);
  EXPECT_EQ(gateway.LineAt(0).CurrentPhase(), Phase::Running);
  gateway.Stop();
}

TEST(GatewayWrites, GoAheadOfPollsAndAFailedWriteLeavesTheCache) {
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.memory = {{{'V', 0x64}, 100}, {{'V', 0x65}, 0x0000}};
  }
  const Config config = TwoTableConfig();
  Gateway gateway(config, MakePlan(config), &FakeZorMain);
  modbus::Units units(gateway);
  gateway.Start();
  std::vector<uint16_t> out;
  ASSERT_TRUE(
      WaitUntil([&] { return units.Read(1, Kind::Holding, 0, 1, out, Clock::now()) == kOk; }));
  EXPECT_EQ(out[0], 100);

  // A good write answers after the driver and updates the cache at once.
  ASSERT_EQ(units.Write(1, Kind::Holding, 0, {200, 201}), kOk);
  ASSERT_EQ(units.Read(1, Kind::Holding, 0, 2, out, Clock::now()), kOk);
  EXPECT_EQ(out, (std::vector<uint16_t>{200, 201}));
  // A coil on bit 0 of V0065 (the second coil): a single-bit write.
  ASSERT_EQ(units.Write(1, Kind::Coil, 1, {1}), kOk);
  ASSERT_EQ(units.Read(1, Kind::Holding, 1, 1, out, Clock::now()), kOk);
  EXPECT_EQ(out[0], 201 | 1);

  // A failed write: exception 0x04 and the cache keeps the old values, even
  // though the controller's memory changes (the poll, paused here, would
  // bring the new value later).
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.writeStatus = 258;
    g_fake.readStatus = 2;  // the polls fail too: nothing can refresh the cache
  }
  EXPECT_EQ(units.Write(1, Kind::Holding, 0, {300}), kDeviceFailure);
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    EXPECT_EQ((g_fake.memory[{'V', 0x64}]), 200);
    g_fake.writeStatus = 0;
    g_fake.readStatus = 0;
    g_fake.calls.clear();
  }
  ASSERT_TRUE(
      WaitUntil([&] { return units.Read(1, Kind::Holding, 0, 1, out, Clock::now()) == kOk; }));
  EXPECT_EQ(out[0], 200);
  // Writes queued while a poll runs go before the next poll.
  {
    std::unique_lock<std::mutex> lock(g_fake.mutex);
    g_fake.hold = true;
    ASSERT_TRUE(
        g_fake.changed.wait_for(lock, std::chrono::seconds(20), [] { return g_fake.holding; }));
    g_fake.calls.clear();
  }
  std::thread writer([&] { EXPECT_EQ(units.Write(1, Kind::Holding, 2, {5, 6}), kOk); });
  std::thread writer2([&] { EXPECT_EQ(units.Write(1, Kind::Holding, 3, {7}), kOk); });
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
  // The held read, then a write; a due poll may go between the two writes
  // (the polls' share), never more than one.
  ASSERT_GE(g_fake.calls.size(), 3u);
  EXPECT_EQ(g_fake.calls[0].rfind("read", 0), 0u);
  EXPECT_EQ(g_fake.calls[1].rfind("write", 0), 0u);
  const bool next = g_fake.calls[2].rfind("write", 0) == 0 ||
                    (g_fake.calls.size() > 3 && g_fake.calls[3].rfind("write", 0) == 0);
  EXPECT_TRUE(next);
}

void ResetFake() {
  std::lock_guard<std::mutex> lock(g_fake.mutex);
  g_fake.memory = {{{'V', 0x64}, 100}, {{'V', 0x65}, 0}};
  g_fake.writeStatus = 0;
  g_fake.readStatus = 0;
  g_fake.calls.clear();
  g_fake.hold = false;
}

Config ConfigWith(const std::string& lineKeys, const std::string& tables) {
  const ConfigResult result =
      ParseConfig("[[line]]\nname = \"a\"\nport = \"/tmp/x\"\n" + lineKeys +
                      "[[unit]]\nid = 1\nline = \"a\"\nstation = 5\n" + tables,
                  "g.toml");
  EXPECT_TRUE(result.config.has_value()) << result.error;
  return *result.config;
}

// With four writers flat out and polls always due (poll_ms 0), a poll goes
// after each write: never two writes in a row, and the polls go on.
TEST(GatewayWrites, AfterEachWriteADuePollGoesNext) {
  ResetFake();
  const Config config =
      ConfigWith("",
                 "holding = [{address = 0, count = 2, v = 0x64, writable = true, poll_ms = 0}]\n"
                 "input = [{address = 0, count = 1, v = 0x200, poll_ms = 0}]\n");
  Gateway gateway(config, MakePlan(config), &FakeZorMain);
  modbus::Units units(gateway);
  gateway.Start();
  std::vector<uint16_t> out;
  ASSERT_TRUE(
      WaitUntil([&] { return units.Read(1, Kind::Holding, 0, 1, out, Clock::now()) == kOk; }));
  std::atomic<bool> go{true};
  std::atomic<int> written{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      for (uint16_t v = 0; go; ++v) {
        if (units.Write(1, Kind::Holding, static_cast<uint32_t>(w % 2), {v}) == kOk) ++written;
      }
    });
  }
  EXPECT_TRUE(WaitUntil([&] { return written.load() >= 400; }));
  go = false;
  for (std::thread& t : writers) t.join();
  gateway.Stop();
  std::lock_guard<std::mutex> lock(g_fake.mutex);
  int writes = 0, reads = 0, twoInARow = 0;
  for (size_t i = 0; i < g_fake.calls.size(); ++i) {
    const bool write = g_fake.calls[i].rfind("write", 0) == 0;
    (write ? writes : reads) += 1;
    if (write && i > 0 && g_fake.calls[i - 1].rfind("write", 0) == 0) ++twoInARow;
  }
  EXPECT_GE(writes, 400);
  EXPECT_GE(reads, writes);
  EXPECT_EQ(twoInARow, 0);
}

// A write that waited in the queue longer than write_timeout_ms is answered
// 0x0B (MQTT's: not carried out) and never carried out; a write the station did not answer
// (status 2) is answered 0x0B like a read, and the station's next write is refused at once until
// a poll finds it again.
TEST(GatewayWrites, LateOrUnansweredWritesAre0x0BAndNeverCarriedOutLater) {
  ResetFake();
  const Config config =
      ConfigWith("write_timeout_ms = 100\n",
                 "holding = [{address = 0, count = 2, v = 0x64, writable = true, poll_ms = 50}]\n");
  Gateway gateway(config, MakePlan(config), &FakeZorMain);
  modbus::Units units(gateway);
  gateway.Start();
  std::vector<uint16_t> out;
  ASSERT_TRUE(
      WaitUntil([&] { return units.Read(1, Kind::Holding, 0, 1, out, Clock::now()) == kOk; }));
  {
    std::unique_lock<std::mutex> lock(g_fake.mutex);
    g_fake.hold = true;
    ASSERT_TRUE(
        g_fake.changed.wait_for(lock, std::chrono::seconds(20), [] { return g_fake.holding; }));
  }
  // While the line is held in a transaction, the core answers a write at
  // its deadline, from Modbus or from MQTT (audited with its actor).
  testing::internal::CaptureStderr();
  const mqtt::Model model = mqtt::BuildModel(config);
  const mqtt::DeviceDef& device = model.devices[0];
  std::promise<int32_t> mqttDone;
  gateway.Submit(mqtt::WriteOrderFor(device, device.metrics[0], 553, "mqtt:edge-1"),
                 [&](int32_t status) { mqttDone.set_value(status); });
  std::atomic<int> expired{-1};
  units.WriteAsync(1, Kind::Holding, 0, {554}, [&](uint8_t code, int32_t) { expired = code; });
  std::future<int32_t> mqttStatus = mqttDone.get_future();
  ASSERT_EQ(mqttStatus.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(mqttStatus.get(), kNotDone);
  ASSERT_TRUE(WaitUntil([&] { return expired.load() >= 0; }));
  EXPECT_EQ(expired.load(), kGatewayTarget);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("audit: write from mqtt:edge-1 DCMD " + device.id +
                     " V0064 value 553: status none (not carried out), not written"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("audit: write from test unit 1 function 16 address 0 values 554: status "
                     "none (not carried out), answered exception 0x0B"),
            std::string::npos)
      << log;
  // Another, and the line let go: neither is carried out later.
  std::atomic<int> answer{-1};
  const auto submitted = Clock::now();
  units.WriteAsync(1, Kind::Holding, 0, {555}, [&](uint8_t code, int32_t) { answer = code; });
  EXPECT_TRUE(WaitUntil([&] { return Clock::now() - submitted > std::chrono::milliseconds(150); }));
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.hold = false;
    g_fake.changed.notify_all();
  }
  ASSERT_TRUE(WaitUntil([&] { return answer.load() >= 0; }));
  EXPECT_EQ(answer.load(), kGatewayTarget);
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    EXPECT_EQ((g_fake.memory[{'V', 0x64}]), 100);
    for (const std::string& call : g_fake.calls)
      EXPECT_EQ(call.rfind("write", 0), std::string::npos);
    g_fake.writeStatus = 2;
  }
  EXPECT_EQ(units.Write(1, Kind::Holding, 0, {556}), kGatewayTarget);
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.writeStatus = 0;
    g_fake.calls.clear();
  }
  // Until a poll of the station succeeds, its writes are refused at once
  // (or, if that poll already came, carried out).
  const uint8_t again = units.Write(1, Kind::Holding, 0, {557});
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    const bool wrote =
        std::find(g_fake.calls.begin(), g_fake.calls.end(), "write V100") != g_fake.calls.end();
    EXPECT_EQ(again == kOk, wrote);
    EXPECT_TRUE(again == kOk || again == kGatewayTarget) << int(again);
  }
  ASSERT_TRUE(WaitUntil([&] { return units.Write(1, Kind::Holding, 0, {558}) == kOk; }));
  gateway.Stop();
  // The line's last status is its own (not hidden by a second field): 0.
  const std::vector<uint16_t> regs = DiagnosticRegisters(gateway, Clock::now());
  EXPECT_EQ(regs[kDiagLineBase + 14], 0);
  EXPECT_EQ(regs[kDiagLineBase + 15], 1);
  EXPECT_GE(regs[kDiagLineBase + 30], 3);  // not carried out: two late, one refused
}

// The port's device vanishes: the line is reported down (phase 3, counted),
// its values are no longer served, writes are answered 0x0B at once; the
// port is opened again with back-off and the values come back.
// A subscriber beside the Modbus side: it sees each poll with its quality
// and values, in order, once the cache has them, and its failed writes are
// logged under its name.
TEST(GatewayWrites, PollsReachTheSubscriberAndItsWritesCarryItsName) {
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.memory = {{{'V', 0x64}, 41}};
    g_fake.readStatus = ZOR_OK;
    g_fake.writeStatus = ZOR_OK;
  }
  std::vector<std::pair<bool, uint16_t>> seen;  // V0064's polls: good, value
  const Config config = TwoTableConfig();
  Gateway gateway(config, MakePlan(config), &FakeZorMain);
  auto queue = std::make_shared<PollQueue>(100000, nullptr);
  gateway.Subscribe(queue);
  gateway.Start();
  const auto lastSeen = [&](bool good, uint16_t value) {
    return WaitUntil([&] {
      for (const PollResult& poll : queue->Take()) {
        const Block& block = gateway.LineAt(poll.line).Blocks()[poll.block];
        if (block.memory != 'V' || block.first > 0x64 || block.Last() < 0x64) continue;
        seen.emplace_back(poll.good, poll.values[0x64 - block.first]);
      }
      return !seen.empty() && seen.back().first == good && seen.back().second == value;
    });
  };
  EXPECT_TRUE(lastSeen(true, 41));
  // A failed poll carries the last good values; the next good one the new.
  for (const auto& [status, value] :
       {std::pair<int32_t, uint16_t>{ZOR_LINE_FAILURE, 41}, {ZOR_OK, 42}}) {
    {
      std::lock_guard<std::mutex> lock(g_fake.mutex);
      g_fake.readStatus = status;
      g_fake.memory[{'V', 0x64}] = 42;
    }
    EXPECT_TRUE(lastSeen(status == ZOR_OK, value)) << status;
  }
  EXPECT_EQ(queue->Dropped(), 0u);
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.writeStatus = ZOR_PRIMITIVE_BAD_LENGTH;
  }
  testing::internal::CaptureStderr();
  std::promise<int32_t> answer;
  WriteOrder order;
  order.unit = 1;
  order.pieces = {PointWrite{'V', 0x64, -1, {7}}};
  order.actor = "mqtt:edge-1";
  order.what = "V0064 value 7";
  gateway.Submit(std::move(order), [&](int32_t status) { answer.set_value(status); });
  const int32_t status = answer.get_future().get();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, ZOR_PRIMITIVE_BAD_LENGTH);
  EXPECT_NE(log.find("write to 05V0064 by mqtt:edge-1 failed with status 261: the primitive "
                     "length disagrees"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("audit: write from mqtt:edge-1 V0064 value 7: status 261"), std::string::npos)
      << log;
  gateway.Stop();
  std::lock_guard<std::mutex> lock(g_fake.mutex);
  g_fake.writeStatus = ZOR_OK;
}

TEST(GatewayLine, APortThatFailsIsClosedReportedDownAndOpenedAgain) {
  ResetFake();
  char port[] = "/tmp/XXXXXX";  // the driver takes names of at most 11 characters
  const int fd = mkstemp(port);
  ASSERT_GE(fd, 0);
  close(fd);
  const Config config = ConfigWith(
      "", "holding = [{address = 0, count = 2, v = 0x64, writable = true, poll_ms = 20}]\n");
  Config onFile = config;
  onFile.lines[0].port = port;
  Gateway gateway(onFile, MakePlan(onFile), &FakeZorMain);
  modbus::Units units(gateway);
  gateway.Start();
  std::vector<uint16_t> out;
  ASSERT_TRUE(
      WaitUntil([&] { return units.Read(1, Kind::Holding, 0, 1, out, Clock::now()) == kOk; }));
  // The adapter is unplugged: the device is gone and every transaction fails.
  unlink(port);
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.readStatus = 2;
  }
  const uint32_t phaseRegister = kDiagLineBase + 22;
  ASSERT_TRUE(WaitUntil([&] {
    return DiagnosticRegisters(gateway, Clock::now())[phaseRegister] ==
           static_cast<uint16_t>(Phase::PortFailed);
  }));
  EXPECT_EQ(units.Read(1, Kind::Holding, 0, 1, out, Clock::now()), kGatewayTarget);
  uint8_t answer = 0xFF;
  units.WriteAsync(1, Kind::Holding, 0, {9}, [&](uint8_t code, int32_t) { answer = code; });
  EXPECT_EQ(answer, kGatewayTarget);  // answered before WriteAsync returned
  EXPECT_EQ(DiagnosticRegisters(gateway, Clock::now())[kDiagLineBase + 31], 1);
  // Opening fails while the device is missing, and is tried again.
  const int coldStarts = [] {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    return g_fake.coldStarts;
  }();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    return g_fake.coldStarts >= coldStarts + 2;
  }));
  EXPECT_EQ(gateway.LineAt(0).CurrentPhase(), Phase::PortFailed);
  // Plugged in again.
  {
    std::ofstream(port) << "";
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.readStatus = 0;
    g_fake.memory[{'V', 0x64}] = 4321;
  }
  ASSERT_TRUE(WaitUntil([&] {
    return units.Read(1, Kind::Holding, 0, 1, out, Clock::now()) == kOk && out[0] == 4321;
  }));
  EXPECT_EQ(gateway.LineAt(0).CurrentPhase(), Phase::Running);
  EXPECT_EQ(units.Write(1, Kind::Holding, 0, {9}), kOk);
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    EXPECT_EQ((g_fake.memory[{'V', 0x64}]), 9);
  }
  // A port that hangs up while its name stays: transactions fail at once
  // (a silent station would take a reply time-out), three in a row put the
  // line down, and it comes back when the port works again.
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.readStatus = 2;
  }
  ASSERT_TRUE(WaitUntil(
      [&] { return DiagnosticRegisters(gateway, Clock::now())[kDiagLineBase + 31] == 2; }));
  {
    std::lock_guard<std::mutex> lock(g_fake.mutex);
    g_fake.readStatus = 0;
    g_fake.memory[{'V', 0x64}] = 4322;
  }
  ASSERT_TRUE(WaitUntil([&] {
    return units.Read(1, Kind::Holding, 0, 1, out, Clock::now()) == kOk && out[0] == 4322;
  }));
  gateway.Stop();
  unlink(port);
}

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

using gwtest::Hex;

TEST(ModbusFrames, DelimitedByTheMbapHeader) {
  struct FrameCase {
    const char* bytes;
    modbus::FrameState state;
    size_t size;
  };
  const FrameCase cases[] = {
      {"", modbus::FrameState::Incomplete, 0},
      {"00010000", modbus::FrameState::Incomplete, 0},
      {"0001000100", modbus::FrameState::Bad, 0},    // protocol id 1
      {"0001ffff0006", modbus::FrameState::Bad, 0},  // protocol id 0xFFFF
      {"000100000001", modbus::FrameState::Bad, 0},  // length 1
      {"0001000000ff", modbus::FrameState::Bad, 0},  // length 255
      {"000100000002", modbus::FrameState::Incomplete, 0},
      {"0001000000020103", modbus::FrameState::Complete, 8},
      {"000100000006010300000001ffff", modbus::FrameState::Complete, 12},  // pipelined tail
      {"00010000000801030000000100aa", modbus::FrameState::Complete, 14},
  };
  for (const FrameCase& c : cases) {
    const std::vector<uint8_t> bytes = Bytes(c.bytes);
    size_t size = 0;
    EXPECT_EQ(modbus::Frame(bytes.data(), bytes.size(), size), c.state) << c.bytes;
    if (c.state == modbus::FrameState::Complete) {
      EXPECT_EQ(size, c.size) << c.bytes;
    }
  }
}

// Every function code once, with a 4-byte body (address 0, value/count 1):
// functions 1-4 and 6 are served, 5 (value 0001), 15 and 16 (no byte count)
// are illegal values, other codes below 0x80 illegal functions with the
// code | 0x80, and codes from 0x80 up are refused without an answer.
TEST(ModbusRequests, EveryFunctionCodeHasItsAnswer) {
  for (int fc = 0; fc < 256; ++fc) {
    const std::vector<uint8_t> frame = {0x12, 0x34, 0, 0, 0, 6, 1, static_cast<uint8_t>(fc),
                                        0,    0,    0, 1};
    modbus::Request request;
    uint8_t code = 0;
    const modbus::Verdict verdict = modbus::Parse(frame.data(), frame.size(), request, code);
    if (fc >= 0x80) {
      EXPECT_EQ(verdict, modbus::Verdict::Refuse) << fc;
    } else if ((fc >= 1 && fc <= 4) || fc == 6) {
      EXPECT_EQ(verdict, modbus::Verdict::Serve) << fc;
    } else {
      ASSERT_EQ(verdict, modbus::Verdict::Exception) << fc;
      EXPECT_EQ(code, fc == 5 || fc == 15 || fc == 16 ? kIllegalValue : kIllegalFunction) << fc;
      const std::vector<uint8_t> answer = modbus::ExceptionAnswer(frame.data(), code);
      EXPECT_EQ(answer, (std::vector<uint8_t>{0x12, 0x34, 0, 0, 0, 3, 1,
                                              static_cast<uint8_t>(fc | 0x80), code}))
          << fc;
    }
  }
  struct RequestCase {
    const char* frame;
    modbus::Verdict verdict;
    uint8_t code;
  };
  const std::string fc16x124 =
      "00010000"
      "00fe"
      "01"
      "10"
      "0000"
      "007c"
      "f8" +
      std::string(2 * 246, '0');
  const RequestCase cases[] = {
      {fc16x124.c_str(), modbus::Verdict::Exception, kIllegalValue},                // 124 registers
      {"00010000000801030000000100aa", modbus::Verdict::Exception, kIllegalValue},  // extra bytes
      {"000100000006010300000000", modbus::Verdict::Exception, kIllegalValue},
      {"00010000000601030000007e", modbus::Verdict::Exception, kIllegalValue},  // 126 registers
      {"00010000000601010000 07d1", modbus::Verdict::Exception, kIllegalValue},
      {"0001000000060103ffff0002", modbus::Verdict::Exception, kIllegalAddress},
      {"000100000009011000000002040001", modbus::Verdict::Exception, kIllegalValue},  // short
      {"00010000000b01100000000204000100020", modbus::Verdict::Serve, 0},
      {"000100000008010f0000000a0201", modbus::Verdict::Exception, kIllegalValue},  // 1 byte short
  };
  for (const RequestCase& c : cases) {
    std::string text = c.frame;
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    const std::vector<uint8_t> frame = Bytes(text);
    modbus::Request request;
    uint8_t code = 0;
    EXPECT_EQ(modbus::Parse(frame.data(), frame.size(), request, code), c.verdict) << c.frame;
    if (c.verdict == modbus::Verdict::Exception) {
      EXPECT_EQ(code, c.code) << c.frame;
    }
  }
  // Encodings: coils packed low bit first; registers big-endian; the write echo.
  const std::vector<uint8_t> fc15 = Bytes("0007000000090100f000000a02cd01");
  modbus::Request request;
  uint8_t code = 0;
  ASSERT_EQ(modbus::Parse(fc15.data(), fc15.size(), request, code), modbus::Verdict::Exception);
  const std::vector<uint8_t> fc15ok = Bytes("000700000009010f000a000a02cd01");
  ASSERT_EQ(modbus::Parse(fc15ok.data(), fc15ok.size(), request, code), modbus::Verdict::Serve);
  EXPECT_EQ(request.values, (std::vector<uint16_t>{1, 0, 1, 1, 0, 0, 1, 1, 1, 0}));
  EXPECT_EQ(Hex(modbus::WriteAnswer(fc15ok.data())), "000700000006010f000a000a");
  const std::vector<uint8_t> fc1 = Bytes("00080000000601010000000a");
  ASSERT_EQ(modbus::Parse(fc1.data(), fc1.size(), request, code), modbus::Verdict::Serve);
  EXPECT_EQ(Hex(modbus::ReadAnswer(fc1.data(), request, {1, 0, 1, 1, 0, 0, 1, 1, 1, 0})),
            "000800000005010102cd01");
  // Device identification (43/14): the basic objects streamed from object 1,
  // one object by individual access, an unknown object restarting at 0; an
  // object past 2 by individual access, another MEI type, a bad read code.
  const std::vector<std::string> objects = {"zortw", "gw", "1.0"};
  const std::pair<const char*, const char*> identification[] = {
      {"000a0000000501 2b0e0101", "000a00000011012b0e0181000002 0102677702 03312e30"},
      {"000a0000000501 2b0e0402", "000a0000000d012b0e0481000001 0203312e30"},
      {"000a0000000501 2b0e0109",
       "000a00000018012b0e0181000003 00057a6f727477 01026777 0203312e30"},
      {"000a0000000501 2b0e0403", "000a0000000301ab02"},
      {"000a0000000501 2b0d0100", "000a0000000301ab01"},
      {"000a0000000501 2b0e0500", "000a0000000301ab03"},
  };
  for (auto [ask, expect] : identification) {
    std::string a = ask, e = expect;
    a.erase(std::remove(a.begin(), a.end(), ' '), a.end());
    e.erase(std::remove(e.begin(), e.end(), ' '), e.end());
    const std::vector<uint8_t> frame = Bytes(a);
    const modbus::Verdict verdict = modbus::Parse(frame.data(), frame.size(), request, code);
    EXPECT_EQ(Hex(verdict == modbus::Verdict::Serve
                      ? modbus::IdentificationAnswer(frame.data(), request, objects)
                      : modbus::ExceptionAnswer(frame.data(), code)),
              e)
        << ask;
  }
  const std::vector<uint8_t> fc3 = Bytes("000900000006020300000002");
  ASSERT_EQ(modbus::Parse(fc3.data(), fc3.size(), request, code), modbus::Verdict::Serve);
  EXPECT_EQ(Hex(modbus::ReadAnswer(fc3.data(), request, {0x1234, 0xABCD})),
            "0009000000070203041234abcd");
}

// A read that covers an unmapped address is 0x02 whatever the quality of
// the mapped part.
// The edge node's state in the metrics and the diagnostics registers:
// absent without [mqtt] (the text as before), every counter with it.
TEST(GatewayReports, TheEdgeNodeShowsInMetricsAndRegisters) {
  const Config config = TwoTableConfig();
  Gateway gateway(config, MakePlan(config), &FakeZorMain);
  const auto now = Clock::now();
  EXPECT_EQ(MetricsText(gateway, now).find("mqtt"), std::string::npos);
  EXPECT_EQ(DiagnosticRegisters(gateway, now)[kDiagEdgeBase], 0);
  EdgeState edge;
  edge.enabled = edge.sessionUp = true;
  edge.broker = "mqtt://127.0.0.1:1883";
  edge.connects = 3;
  edge.connectFailures = 70000;  // past one word: high word first
  edge.storeDepth = 12;
  edge.refusedCommands = 4;
  edge.bdSeq = 9;
  gateway.SetEdgeProbe([&] { return edge; });
  const std::string text = MetricsText(gateway, now);
  for (const char* sample :
       {"tiway_gateway_mqtt_session_up{broker=\"mqtt://127.0.0.1:1883\"} 1\n",
        "tiway_gateway_mqtt_connects_total 3\n",
        "tiway_gateway_mqtt_connect_failures_total 70000\n", "tiway_gateway_mqtt_store_depth 12\n",
        "tiway_gateway_mqtt_commands_refused_total 4\n", "tiway_gateway_mqtt_bdseq 9\n"}) {
    EXPECT_NE(text.find(sample), std::string::npos) << sample;
  }
  const std::vector<uint16_t> regs = DiagnosticRegisters(gateway, now);
  EXPECT_EQ(regs[kDiagEdgeBase], 1);
  EXPECT_EQ(regs[kDiagEdgeBase + 1], 1);
  EXPECT_EQ(regs[kDiagEdgeBase + 4], 3);  // connects, low word
  EXPECT_EQ((regs[kDiagEdgeBase + 5] << 16) | regs[kDiagEdgeBase + 6], 70000);
  EXPECT_EQ(regs[kDiagEdgeBase + 16], 12);  // store depth, low word
  EXPECT_EQ(regs[kDiagEdgeBase + 18], 4);   // refused commands, low word
  EXPECT_EQ(regs[kDiagEdgeBase + 20], 9);   // bdSeq, low word
  edge.sessionUp = false;
  EXPECT_NE(MetricsText(gateway, now)
                .find("tiway_gateway_mqtt_session_up{broker=\"mqtt://127.0.0.1:1883\"} 0"),
            std::string::npos);
}

TEST(GatewayQuality, UnmappedBeatsStale) {
  const Config config = TwoTableConfig();
  Gateway gateway(config, MakePlan(config), &FakeZorMain);
  modbus::Units units(gateway);
  std::vector<uint16_t> out;
  EXPECT_EQ(units.Read(1, Kind::Holding, 0, 4, out, Clock::now()), kGatewayTarget);
  EXPECT_EQ(units.Read(1, Kind::Holding, 2, 3, out, Clock::now()), kIllegalAddress);
}

// 253 units of 64 tables on one line: every element finds the block that
// holds it (the figure of the planning time is in gateway_bench).
TEST(GatewayPlan, LargeConfigurationsMapEveryElement) {
  std::string text = "[[line]]\nname = \"a\"\nport = \"/tmp/x\"\n";
  for (int u = 1; u <= 253; ++u) {
    text += "[[unit]]\nid = " + std::to_string(u == 247 ? 254 : u) +
            "\nline = \"a\"\nstation = " + std::to_string(u) + "\n";
    for (int t = 0; t < 64; ++t) {
      const char* kinds[] = {"holding", "input", "coil", "discrete"};
      const char* letters[] = {"v", "v", "y", "x"};
      text += "[[unit." + std::string(kinds[t % 4]) + "]]\naddress = " + std::to_string(t * 10) +
              "\ncount = 8\n" + letters[t % 4] + " = " + std::to_string(1 + t * 12) +
              "\npoll_ms = " + std::to_string(t % 3 == 0 ? 500 : 1000) + "\n";
    }
  }
  const ConfigResult result = ParseConfig(text, "big.toml");
  ASSERT_TRUE(result.config.has_value()) << result.error;
  const Config& config = *result.config;
  const Plan plan = MakePlan(config);
  const std::vector<Block>& blocks = plan.lines[0].blocks;
  size_t checked = 0;
  for (size_t u = 0; u < config.units.size(); ++u) {
    const Unit& unit = config.units[u];
    for (size_t t = 0; t < unit.tables.size(); ++t) {
      const Table& table = unit.tables[t];
      for (uint32_t e = table.FirstElement(); e <= table.LastElement(); ++e) {
        const Ref ref = plan.refs[u][t][e - table.FirstElement()];
        ASSERT_LT(ref.block, blocks.size());
        const Block& block = blocks[ref.block];
        EXPECT_EQ(block.station, unit.station);
        EXPECT_EQ(block.memory, table.Memory());
        EXPECT_EQ(block.first + ref.offset, e);
        EXPECT_LE(block.pollMs, table.pollMs);
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 253u * 64u * 8u);
  EXPECT_NE(DescribePlan(config, plan).find("unit 254 discrete 630-637"), std::string::npos);
}

}  // namespace
}  // namespace gateway
