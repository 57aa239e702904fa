// The run sequence of tiway against a stand-in ZorMain: which commands a run
// issues, in which order, with which parameter blocks, and what it reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/cli/cli_args.h"
#include "tools/cli/result.h"
#include "tools/cli/session.h"
#include "tools/cli/tiway_record_schema.h"

namespace tiway {
namespace {

// What the stand-in driver saw and what it answers.
struct FakeDriver {
  std::vector<int32_t> commands;
  int32_t coldStartStatus = 0;
  int32_t defineStatus = 0;
  int32_t transferStatus = 0;
  ZorColdStartParams coldStart{};
  int32_t hostDataType = -100;
  int32_t definedCount = -100;
  std::string addressText;
  ZorBlockRequest block{};
  std::vector<uint16_t> written;   // the host array of a write, as received
  std::vector<uint16_t> readData;  // what a read stores, word by word from data[0]
  std::vector<std::string> log;
  // Per block transfer: the statuses to return in turn (then transferStatus),
  // and whether each call leaves frames and a log line naming its number.
  std::vector<int32_t> statuses;
  bool tagTransfers = false;
  int transfers = 0;
  std::vector<std::string> definedTexts;
  std::vector<int32_t> definedCounts, blockCounts;
  std::function<void(int32_t command)> onCall;
};
FakeDriver* g_fake = nullptr;

int32_t ZORTW_CALL FakeZorMain(ZorRequest* request) {
  FakeDriver& f = *g_fake;
  f.commands.push_back(request->command);
  if (f.onCall) f.onCall(request->command);
  switch (request->command) {
    case ZOR_GET_DRIVER_INFO: {
      auto* info = static_cast<ZorDriverInfo*>(request->params);
      info->driverId = 70;
      info->name = "TIWAY I";
      info->banner = "\n\xDA\xC4\xBF\n";
      info->contextSize = 1470;
      info->defaultLine = ZorLineSettings{19200, 7, 0, 1};
      return 0;
    }
    case ZOR_COLD_START:
      f.coldStart = *static_cast<ZorColdStartParams*>(request->params);
      if (f.coldStartStatus == 2) f.log.push_back("ZOR01: TW: ColdStart(): Fail to open X");
      return f.coldStartStatus;
    case ZOR_DEFINE_POINT:
    case ZOR_CHECK_BLOCK: {
      auto* definition = static_cast<ZorPointDefinition*>(request->params);
      f.addressText = definition->addressText;
      f.hostDataType = definition->hostDataType;
      f.definedCount = definition->elementCount;
      f.definedTexts.push_back(f.addressText);
      f.definedCounts.push_back(definition->elementCount);
      const bool bit = f.addressText.size() == 8;
      const char letter = static_cast<char>(std::toupper(f.addressText[2]));
      definition->address = ZorPointAddress{5, letter, 0x64, bit ? 10 : 255,
                                            letter == 'F'            ? 32
                                            : (bit || letter != 'V') ? 1
                                                                     : 16};
      return f.defineStatus;
    }
    case ZOR_READ_BLOCK:
    case ZOR_WRITE_BLOCK: {
      auto* block = static_cast<ZorBlockRequest*>(request->params);
      f.block = *block;
      f.blockCounts.push_back(block->elementCount);
      const int n = ++f.transfers;
      const size_t k = static_cast<size_t>(n - 1);
      const int32_t status = k < f.statuses.size() ? f.statuses[k] : f.transferStatus;
      if (f.tagTransfers) {
        std::snprintf(request->context->requestFrame, 64, ":request-%d;", n);
        std::snprintf(request->context->replyBuffer, 64, ":reply-%d;", n);
        f.log.push_back("line of transfer " + std::to_string(n));
        if (status == 0 && request->command == ZOR_READ_BLOCK) {
          for (size_t i = 0; i < f.readData.size(); ++i) block->data[i] = f.readData[i];
          block->data[1] = static_cast<uint16_t>(n / 2);  // changes every second poll
        }
        return status;
      }
      if (request->command == ZOR_WRITE_BLOCK) {
        f.written.assign(block->data, block->data + 2 * block->elementCount + 2);
      } else if (f.transferStatus == 0) {
        for (size_t i = 0; i < f.readData.size(); ++i) block->data[i] = f.readData[i];
      }
      std::strcpy(request->context->requestFrame, ":001E01050006200100040064DE6E;");
      return f.transferStatus;
    }
    case ZOR_STOP:
      return 0;
    default:
      return -1;
  }
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class Session : public ::testing::Test {
 protected:
  Session() {
    g_fake = &fake_;
    host_.zorMain = &FakeZorMain;
    host_.driverPath = "libzortw.so";
    host_.takeLog = [this] {
      std::vector<std::string> lines;
      lines.swap(fake_.log);
      return lines;
    };
    host_.sleep = [](int32_t) {};
  }
  ~Session() override { g_fake = nullptr; }

  int RunArgs(std::vector<std::string> args) {
    Options options;
    EXPECT_EQ(ParseArgs(args, "", options), std::nullopt);
    out_.str("");
    err_.str("");
    return tiway::Run(options, host_, out_, err_);
  }

  FakeDriver fake_;
  Host host_;
  std::ostringstream out_, err_;
};

TEST_F(Session, ReadOfOneWordDefinesReadsAndStops) {
  fake_.readData = {0xAAAA, 42};
  EXPECT_EQ(
      RunArgs({"read", "05V0064", "--port", "/dev/pts/7", "--timeout", "250", "--baud", "9600"}),
      kExitOk);
  EXPECT_EQ(fake_.commands, (std::vector<int32_t>{ZOR_GET_DRIVER_INFO, ZOR_COLD_START,
                                                  ZOR_DEFINE_POINT, ZOR_READ_BLOCK, ZOR_STOP}));
  EXPECT_STREQ(fake_.coldStart.portName, "/dev/pts/7");
  EXPECT_EQ(fake_.coldStart.enabled, 1u);
  EXPECT_EQ(fake_.coldStart.readTimeout, 250);
  EXPECT_EQ(fake_.coldStart.line.baudRate, 9600);
  EXPECT_EQ(fake_.coldStart.line.dataBits, 7);  // the driver's default
  EXPECT_EQ(fake_.coldStart.line.parity, 1);
  EXPECT_EQ(fake_.hostDataType, 0);
  EXPECT_EQ(fake_.block.elementCount, 1);
  EXPECT_EQ(out_.str(), "05V0064   42  0x002A\n");
}

TEST_F(Session, BlocksGoThroughCheckBlockAndFValuesCountWords) {
  fake_.readData = {0x5678, 0x1234, 0, 0, 0xDEF0, 0x9ABC};
  EXPECT_EQ(RunArgs({"read", "05F0064", "2", "--port", "ttyS9", "--json"}), kExitOk);
  EXPECT_EQ(fake_.commands[2], ZOR_CHECK_BLOCK);
  EXPECT_EQ(fake_.definedCount, 4);  // two values, four 16-bit words
  EXPECT_EQ(fake_.block.elementCount, 4);
  const std::string out = out_.str();
  EXPECT_NE(out.find("{\"point\":\"05F0064\",\"value\":305419896,\"hex\":\"0x12345678\""),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"05F0066\",\"value\":2596069104"), std::string::npos) << out;
}

TEST_F(Session, SingleBitWriteCarriesTheBitInDataOne) {
  EXPECT_EQ(RunArgs({"write", "05V0064A", "1", "--port", "ttyS9"}), kExitOk);
  // The read before the write records the value it replaces.
  EXPECT_EQ(fake_.commands,
            (std::vector<int32_t>{ZOR_GET_DRIVER_INFO, ZOR_COLD_START, ZOR_DEFINE_POINT,
                                  ZOR_READ_BLOCK, ZOR_WRITE_BLOCK, ZOR_STOP}));
  EXPECT_EQ(fake_.hostDataType, 6);
  EXPECT_EQ(fake_.block.elementCount, 1);
  ASSERT_GE(fake_.written.size(), 2u);
  EXPECT_EQ(fake_.written[1], 1);
}

TEST_F(Session, BadAddressIsRefusedBeforeTheDriverIsAsked) {
  EXPECT_EQ(RunArgs({"read", "05V0064A", "--port", "ttyS9", "--host-type", "0"}), kExitBadPoint);
  EXPECT_TRUE(fake_.commands.empty());
  EXPECT_NE(err_.str().find("a V word takes no bit digit"), std::string::npos) << err_.str();
}

TEST_F(Session, PortThatCannotBeOpenedIsNamed) {
  fake_.coldStartStatus = 2;
  EXPECT_EQ(RunArgs({"read", "05V0064", "--port", "/nonexist/9"}), kExitPortFailed);
  EXPECT_NE(err_.str().find("cannot open port /nonexist/9: no such device"), std::string::npos)
      << err_.str();
  // No definition and no transfer on a port that is not open.
  EXPECT_EQ(std::count(fake_.commands.begin(), fake_.commands.end(), ZOR_READ_BLOCK), 0);
}

TEST_F(Session, DriverRefusalOfADefinitionStopsTheInstance) {
  fake_.defineStatus = 1;
  EXPECT_EQ(RunArgs({"read", "05V0064", "--port", "ttyS9", "--json"}), kExitBadPoint);
  EXPECT_EQ(fake_.commands.back(), ZOR_STOP);
  EXPECT_NE(out_.str().find("\"status\":1,"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("\"step\":\"DefinePoint\""), std::string::npos) << out_.str();
}

TEST_F(Session, TransferStatusIsShownWithItsMeaningAndTrace) {
  fake_.transferStatus = 258;
  EXPECT_EQ(RunArgs({"read", "05V0064", "4", "--port", "ttyS9", "--json", "--trace"}),
            kExitTransfer);
  const std::string out = out_.str();
  EXPECT_NE(out.find("\"status\":258"), std::string::npos) << out;
  EXPECT_NE(out.find("code 0102: the station exists but is not connected"), std::string::npos)
      << out;
  EXPECT_NE(out.find("\"requestNote\":\"station 05, read V (2001), count 4, address 0064"),
            std::string::npos)
      << out;
  EXPECT_EQ(fake_.commands.back(), ZOR_STOP);
}

TEST_F(Session, WatchShowsOnlyChangesAndStopsAfterItsPolls) {
  // The stand-in answers every read with the same data: only the first poll
  // prints.
  fake_.readData = {0, 1, 0, 0};
  EXPECT_EQ(RunArgs({"watch", "02X0001", "2", "--port", "ttyS9", "--polls", "3"}), kExitOk);
  EXPECT_EQ(std::count(fake_.commands.begin(), fake_.commands.end(), ZOR_READ_BLOCK), 3);
  const std::string out = out_.str();
  EXPECT_EQ(CountOf(out, "05X00"), 2) << out;
  EXPECT_NE(out.find("02X0001    polls 3, failed 0"), std::string::npos) << out;
  EXPECT_NE(out.find("05X0064   1"), std::string::npos) << out;
}

TEST_F(Session, WatchWaitsItsIntervalBetweenPollsAndNoneAtZero) {
  std::vector<int32_t> sleeps;
  host_.sleep = [&sleeps](int32_t ms) { sleeps.push_back(ms); };
  EXPECT_EQ(RunArgs({"watch", "05V0064", "--port", "ttyS9", "--interval", "0", "--polls", "4"}),
            kExitOk);
  EXPECT_EQ(std::count(fake_.commands.begin(), fake_.commands.end(), ZOR_READ_BLOCK), 4);
  EXPECT_TRUE(sleeps.empty());
  EXPECT_EQ(RunArgs({"watch", "05V0064", "--port", "ttyS9", "--interval", "120", "--polls", "2"}),
            kExitOk);
  EXPECT_EQ(sleeps, (std::vector<int32_t>{50, 50, 20}));  // in steps, to notice Ctrl-C
}

TEST_F(Session, InfoConvertsTheBannerOnlyForUtf8Terminals) {
  EXPECT_EQ(RunArgs({"info"}), kExitOk);
  EXPECT_NE(out_.str().find("\xDA\xC4\xBF"), std::string::npos);
  host_.utf8Stdout = true;
  EXPECT_EQ(RunArgs({"info"}), kExitOk);
  EXPECT_NE(out_.str().find("\u250C\u2500\u2510"), std::string::npos);
  EXPECT_EQ(RunArgs({"info", "--raw"}), kExitOk);
  EXPECT_NE(out_.str().find("\xDA\xC4\xBF"), std::string::npos);
  EXPECT_NE(out_.str().find("context size  1470"), std::string::npos);
}

TEST_F(Session, EveryWatchObjectCarriesExactlyItsOwnFramesAndLines) {
  // Polls 2 and 5 fail; the values change every second poll. With --trace
  // every poll is printed, each with the frames and log lines of its own
  // transfer and nothing of another's.
  fake_.readData = {0, 0};
  fake_.tagTransfers = true;
  fake_.statuses = {0, 258, 0, 0, 2, 0, 0};
  ASSERT_EQ(RunArgs({"watch", "05V0064", "--port", "ttyS9", "--polls", "7", "--json", "--trace"}),
            kExitTransfer);
  std::istringstream lines(out_.str());
  std::string line;
  int polls = 0;
  while (std::getline(lines, line)) {
    const nlohmann::json j = nlohmann::json::parse(line);
    if (j["operation"] != "poll") continue;
    ++polls;
    const int poll = j["poll"];
    const std::string n = std::to_string(poll);
    ASSERT_EQ(j["frames"].size(), 1u) << line;
    EXPECT_EQ(j["frames"][0]["request"], ":request-" + n + ";") << line;
    EXPECT_EQ(j["log"], nlohmann::json::array({"line of transfer " + n})) << line;
    EXPECT_EQ(j["ok"], poll != 2 && poll != 5) << line;
    // Success and failure objects have the same keys.
    for (const char* key : {"point", "status", "meaning", "values", "log", "frames", "elapsedMs",
                            "retries", "time"}) {
      EXPECT_TRUE(j.contains(key)) << key << " missing in " << line;
    }
  }
  EXPECT_EQ(polls, 7);
  // Without --trace only changes and new failures are printed; the frames of
  // the polls not printed are dropped, never carried into a later object.
  fake_ = FakeDriver{};
  fake_.readData = {0, 0};
  fake_.tagTransfers = true;
  fake_.statuses = {0, 0, 258, 258, 0, 0};
  ASSERT_EQ(RunArgs({"watch", "05V0064", "--port", "ttyS9", "--polls", "6", "--json"}),
            kExitTransfer);
  std::istringstream again(out_.str());
  std::vector<int> printed;
  while (std::getline(again, line)) {
    const nlohmann::json j = nlohmann::json::parse(line);
    if (j["operation"] != "poll") continue;
    printed.push_back(j["poll"]);
    EXPECT_EQ(j["log"],
              nlohmann::json::array({"line of transfer " + std::to_string(printed.back())}));
    EXPECT_TRUE(j["frames"].empty());
  }
  // Values poll by poll: 0, 1, failed, failed, 2, 3. Printed: the first
  // poll, the change at 2, the failure at 3 (not its repeat at 4), 5 and 6.
  EXPECT_EQ(printed, (std::vector<int>{1, 2, 3, 5, 6}));
}

TEST_F(Session, RangesAreSplitIntoBlocksOfAtMost62WordsOr124Discretes) {
  struct Case {
    const char* point;
    std::vector<int32_t> blocks;  // element counts the driver receives
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {"05V0064:62", {62}, {"05V0064"}},
      {"05V0064:63", {62, 1}, {"05V0064", "05V00A2"}},
      {"05X0010:124", {124}, {"05X0010"}},
      {"05X0010:125", {124, 1}, {"05X0010", "05X008C"}},
      {"05F0100:31", {62}, {"05F0100"}},
      {"05F0100:32", {62, 2}, {"05F0100", "05F013E"}},
      {"05V0064:130", {62, 62, 6}, {"05V0064", "05V00A2", "05V00E0"}},
  };
  for (const Case& c : cases) {
    fake_ = FakeDriver{};
    EXPECT_EQ(RunArgs({"read", c.point, "--port", "ttyS9", "--json"}), kExitOk) << c.point;
    EXPECT_EQ(fake_.blockCounts, c.blocks) << c.point;
    EXPECT_EQ(fake_.definedTexts, c.texts) << c.point;
    // One result for the whole range.
    const std::string out = out_.str();
    EXPECT_EQ(CountOf(out, "\"operation\":\"read\""), 1u) << out;
  }
  EXPECT_EQ(RunArgs({"read", "05VFFF0:17", "--port", "ttyS9"}), kExitBadPoint);
  EXPECT_NE(err_.str().find("run past element FFFF"), std::string::npos) << err_.str();
}

TEST_F(Session, AnInterruptStopsBeforeTheNextRequestAndClosesThePort) {
  // Interrupted while ColdStart runs: nothing after it but Stop.
  bool interrupted = false;
  host_.interrupted = [&interrupted] { return interrupted; };
  fake_.onCall = [&interrupted](int32_t command) {
    if (command == ZOR_COLD_START) interrupted = true;
  };
  EXPECT_EQ(RunArgs({"write", "05V0064", "777", "--port", "ttyS9"}), kExitInterrupted);
  EXPECT_EQ(fake_.commands, (std::vector<int32_t>{ZOR_GET_DRIVER_INFO, ZOR_COLD_START, ZOR_STOP}));
  EXPECT_NE(err_.str().find("interrupted during start-up: nothing written"), std::string::npos)
      << err_.str();

  // Interrupted during the read before a write: the write is not sent.
  interrupted = false;
  fake_ = FakeDriver{};
  fake_.onCall = [&interrupted](int32_t command) {
    if (command == ZOR_READ_BLOCK) interrupted = true;
  };
  EXPECT_EQ(RunArgs({"write", "05V0064", "777", "--port", "ttyS9", "--json"}), kExitInterrupted);
  EXPECT_EQ(std::count(fake_.commands.begin(), fake_.commands.end(), ZOR_WRITE_BLOCK), 0);
  EXPECT_EQ(fake_.commands.back(), ZOR_STOP);
  EXPECT_NE(out_.str().find("interrupted before the write: nothing written"), std::string::npos)
      << out_.str();

  // Interrupted between the blocks of a long write: the rest is not sent and
  // the message says which part was written.
  interrupted = false;
  fake_ = FakeDriver{};
  fake_.onCall = [&interrupted](int32_t command) {
    if (command == ZOR_WRITE_BLOCK) interrupted = true;
  };
  std::vector<std::string> args{"write", "05V0064"};
  for (int k = 0; k < 70; ++k) args.push_back(std::to_string(k));
  args.insert(args.end(), {"--port", "ttyS9"});
  EXPECT_EQ(RunArgs(args), kExitInterrupted);
  EXPECT_EQ(std::count(fake_.commands.begin(), fake_.commands.end(), ZOR_WRITE_BLOCK), 1);
  EXPECT_NE(err_.str().find("after writing 62 of 70 elements; from 05V00A2 on nothing"),
            std::string::npos)
      << err_.str();
}

TEST_F(Session, AFailedAdapterConfigurationStopsTheRunUnlessKeepGoing) {
  fake_.onCall = [this](int32_t command) {
    if (command == ZOR_COLD_START) fake_.log.push_back("ZOR01: TW: ColdStart(): Fail rc = 7 ");
  };
  EXPECT_EQ(RunArgs({"write", "05V0064", "1", "--port", "ttyS9"}), kExitAdapter);
  EXPECT_EQ(fake_.commands, (std::vector<int32_t>{ZOR_GET_DRIVER_INFO, ZOR_COLD_START, ZOR_STOP}));
  EXPECT_NE(err_.str().find("adapter configuration failed (rc 7: no reply: check cable"),
            std::string::npos)
      << err_.str();
  fake_.commands.clear();
  EXPECT_EQ(RunArgs({"write", "05V0064", "1", "--port", "ttyS9", "--keep-going"}), kExitOk);
  EXPECT_EQ(fake_.commands.back(), ZOR_STOP);
  EXPECT_EQ(std::count(fake_.commands.begin(), fake_.commands.end(), ZOR_WRITE_BLOCK), 1);
}

// ---- the JSON records against their schema ------------------------------------

// The part of JSON Schema 2020-12 that docs/tiway-record.schema.json uses;
// returns the first rule broken, empty when none is.
std::string SchemaBreak(const nlohmann::json& root, const nlohmann::json& schema,
                        const nlohmann::json& v, const std::string& at = "$") {
  if (schema.contains("$ref"))
    return SchemaBreak(root, root["$defs"][schema["$ref"].get<std::string>().substr(8)], v, at);
  auto fail = [&](const char* rule) {
    return at + " " + v.dump() + " breaks " + rule + " " + schema[rule].dump();
  };
  auto is = [&v](const std::string& t) {
    return t == "object"    ? v.is_object()
           : t == "array"   ? v.is_array()
           : t == "string"  ? v.is_string()
           : t == "integer" ? v.is_number_integer()
           : t == "number"  ? v.is_number()
           : t == "boolean" ? v.is_boolean()
                            : v.is_null();
  };
  if (schema.contains("type")) {
    const nlohmann::json types =
        schema["type"].is_array() ? schema["type"] : nlohmann::json{schema["type"]};
    if (std::none_of(types.begin(), types.end(), [&](const auto& t) { return is(t); }))
      return fail("type");
  }
  if (schema.contains("enum") &&
      std::find(schema["enum"].begin(), schema["enum"].end(), v) == schema["enum"].end())
    return fail("enum");
  if (schema.contains("const") && schema["const"] != v) return fail("const");
  if (schema.contains("minimum") && v.is_number() && v < schema["minimum"]) return fail("minimum");
  for (const auto& key : schema.value("required", nlohmann::json::array())) {
    if (v.is_object() && !v.contains(key)) return fail("required");
  }
  const nlohmann::json properties = schema.value("properties", nlohmann::json::object());
  const nlohmann::json object = v.is_object() ? v : nlohmann::json::object();
  for (const auto& [key, item] : object.items()) {
    const nlohmann::json& rule = properties.contains(key)
                                     ? properties[key]
                                     : schema.value("additionalProperties", nlohmann::json(true));
    if (rule == false) return at + "." + key + " is no key of the schema";
    if (std::string why = SchemaBreak(root, rule.is_object() ? rule : nlohmann::json::object(),
                                      item, at + "." + key);
        !why.empty())
      return why;
  }
  for (size_t i = 0; v.is_array() && schema.contains("items") && i < v.size(); ++i) {
    if (std::string why =
            SchemaBreak(root, schema["items"], v[i], at + "[" + std::to_string(i) + "]");
        !why.empty())
      return why;
  }
  for (const auto& part : schema.value("allOf", nlohmann::json::array())) {
    if (std::string why = SchemaBreak(root, part, v, at); !why.empty()) return why;
  }
  auto holds = [&](const nlohmann::json& part) { return SchemaBreak(root, part, v, at).empty(); };
  if (schema.contains("anyOf") &&
      std::none_of(schema["anyOf"].begin(), schema["anyOf"].end(), holds))
    return fail("anyOf");
  if (schema.contains("not") && holds(schema["not"])) return fail("not");
  const char* branch = schema.contains("if") ? (holds(schema["if"]) ? "then" : "else") : "";
  if (schema.contains(branch)) {
    if (std::string why = SchemaBreak(root, schema[branch], v, at); !why.empty())
      return why + " (" + branch + " of " + schema["if"].dump() + ")";
  }
  return "";
}

TEST_F(Session, EveryRecordTiwayPrintsKeepsTheSchema) {
  const nlohmann::json schema = nlohmann::json::parse(kRecordSchema);
  Options usage;
  std::vector<nlohmann::json> records = {
      // the two that main prints itself
      ToJson(Failure("usage", kExitUsage, ParseArgs({"read"}, "", usage).value_or("")), {}),
      ToJson(Failure("read", kExitNoDriver, "cannot load the driver x"), {})};
  int32_t interruptAt = 0;
  host_.interrupted = [this, &interruptAt] {
    return std::count(fake_.commands.begin(), fake_.commands.end(), interruptAt) > 0;
  };
  auto run = [&](
                 std::vector<std::string> args, const std::function<void()>& setUp = [] {}) {
    fake_ = FakeDriver{};
    interruptAt = 0;
    setUp();
    args.insert(args.end(), {"--json", "--trace"});
    RunArgs(args);
    std::istringstream lines(out_.str());
    for (std::string line; std::getline(lines, line);) {
      records.push_back(nlohmann::json::parse(line));
    }
  };
  auto adapterFails = [this] {
    fake_.onCall = [this](int32_t c) {
      if (c == ZOR_COLD_START) fake_.log.push_back("ZOR01: TW: ColdStart(): Fail rc = 7 ");
    };
  };
  const std::string csv = ::testing::TempDir() + "tiway-schema.csv";
  std::ofstream(csv) << "time,point,value,status\n2026-01-01T00:00:00.000,05V0064,1,0\n"
                     << "2026-01-01T00:00:01.000,05V0064,2,0\n";
  run({"read", "05Q0001", "--port", "p"});
  run({"write", "05F0064", "1e40", "--port", "p"});
  run({"write", "05F0064", "1", "--port", "NUL"});
  run({"read", "05V0064", "--port", "p"}, adapterFails);
  run({"read", "05V0064", "--port", "p", "--keep-going"}, adapterFails);
  run({"read", "05V0064", "--port", "p"}, [&] { interruptAt = ZOR_COLD_START; });
  run({"read", "05V0064", "--port", "p"}, [this] { fake_.defineStatus = 1; });
  run({"read", "05V0064", "--port", "p"}, [this] { fake_.coldStartStatus = 2; });
  run({"read", "05V0064", "05F0064:2", "02X0001:3", "05V10000", "--port", "p", "--format", "bin"});
  run({"read", "05V0064:130", "--port", "p"}, [&] { interruptAt = ZOR_READ_BLOCK; });
  run({"write", "05F0064", "10", "0x7FC00000", "--port", "p"});
  run({"write", "05V0064", "1", "--port", "p"}, [this] { fake_.transferStatus = 2; });
  run({"watch", "05V0064", "--port", "p", "--polls", "2"}, [this] {
    fake_.statuses = {0, 258};
    fake_.tagTransfers = true;
  });
  run({"watch", "05V0064", "--port", "p", "--polls", "1"});
  run({"watch", "05V0064", "--port", "p", "--csv", ::testing::TempDir() + "no/such/dir.csv"});
  run({"info"});
  run({"plot", csv, "-o", ::testing::TempDir() + "tiway-schema.png"});
  run({"plot", csv + "-none"});
  std::set<std::string> seen;
  for (const nlohmann::json& record : records) {
    EXPECT_EQ(SchemaBreak(schema, schema, record), "") << record.dump();
    seen.insert(record["operation"].get<std::string>() + (record["ok"] ? "" : " failed"));
  }
  // Every kind of record, as a success and as a failure where it can be both
  // (info fails only before the driver is loaded, in main; Windows test
  // machines have no gnuplot).
  std::set<std::string> once = {"usage", "plan", "watch", "define", "info"};
#if defined(_WIN32)
  once.insert("plot");
#endif
  for (const std::string kind : schema["properties"]["operation"]["enum"]) {
    EXPECT_EQ(seen.count(kind + " failed") + seen.count(kind), once.count(kind) ? 1u : 2u) << kind;
  }
  records[0]["status"] = 0;  // and the check refuses a status with "no driver status"
  EXPECT_NE(SchemaBreak(schema, schema, records[0]), "");
}

// ---- what a user reads ------------------------------------------------------------

TEST_F(Session, EveryMistakeOfAScanListIsToldAtOnceInLineOrder) {
  const std::string list = ::testing::TempDir() + "tiway-plant.txt";
  {
    std::ofstream file(list);
    file << "05V0064:4\n05V0064 1 2\n05Q0001\n05V0064:0\n02X0010 8\n";
  }
  EXPECT_EQ(RunArgs({"read", "--list", list, "--port", "ttyS9"}), kExitUsage);
  const std::string err = err_.str();
  size_t at = 0;
  for (const std::string line : {":2: one point per line", ":3: bad point 05Q0001: type letter",
                                 ":4: the count after ':'"}) {
    const size_t found = err.find("tiway: " + list + line, at);
    EXPECT_NE(found, std::string::npos) << line << " not in order in\n" << err;
    if (found != std::string::npos) at = found;
  }
  EXPECT_TRUE(fake_.commands.empty());  // nothing started
}

TEST_F(Session, AnInterruptedReadPrintsTheValuesItRead) {
  host_.interrupted = [this] { return fake_.transfers > 0; };
  EXPECT_EQ(RunArgs({"read", "05V0064", "200", "--port", "ttyS9"}), kExitInterrupted);
  EXPECT_EQ(CountOf(out_.str(), "\n"), 62u) << out_.str();  // the first block's 62 words
  EXPECT_NE(out_.str().find("05V00A1   0  0x0000\n"), std::string::npos) << out_.str();
  EXPECT_NE(err_.str().find("interrupted after reading 62 of 200 elements"), std::string::npos);
}

TEST_F(Session, AnFValueIsWrittenAsTheNumberTypedAndNothingOutOfRangeOrOnTheDummyPort) {
  EXPECT_EQ(RunArgs({"write", "05F0064", "10", "0x7FC00000", "--port", "ttyS9"}), kExitOk);
  fake_.written.resize(4);
  EXPECT_EQ(fake_.written, (std::vector<uint16_t>{0x0000, 0x4120, 0x0000, 0x7FC0}));
  EXPECT_NE(out_.str().find("from 05F0064; as raw bits, not numbers: 0x7FC00000\n05F0064   10  "),
            std::string::npos)
      << out_.str();
  fake_ = FakeDriver{};
  EXPECT_EQ(RunArgs({"write", "05F0064", "1e40", "--port", "ttyS9"}), kExitBadPoint);
  EXPECT_EQ(RunArgs({"read", "05V0064", "--port", "NUL"}), kExitPortFailed);
  EXPECT_TRUE(fake_.commands.empty());
  EXPECT_NE(err_.str().find("port NUL is the driver's dummy port: it opens but never answers"),
            std::string::npos);
}

TEST_F(Session, AFailureOnASlowLineNamesTheLineTimeAndTimeoutNotStrayBytes) {
  fake_.transferStatus = 2;  // 68 characters at 300 baud: 2.3 s against a 1 s time-out
  EXPECT_EQ(RunArgs({"read", "05V0064", "4", "--port", "ttyS9", "--baud", "300", "--trace"}),
            kExitTransfer);
  const std::string text = out_.str() + err_.str();
  EXPECT_NE(text.find("300 baud, longer than the reply time-out of 1.00 s"), std::string::npos);
  EXPECT_NE(text.find("--timeout 600"), std::string::npos) << text;
  EXPECT_EQ(text.find("stray bytes"), std::string::npos) << text;
  EXPECT_EQ(RunArgs({"read", "05V0064", "4", "--port", "ttyS9", "--trace"}), kExitTransfer);
  EXPECT_EQ(err_.str().find("--timeout"), std::string::npos) << err_.str();  // 19200: no cause
}

TEST(Plot, DiscretesAreStepsOnTheirOwnAxis) {
  const std::string script =
      PlotScript({"05V0064", "05X0010"}, {{"05V0064", ""}, {"05X0010", ""}}, "a", "a.png");
  EXPECT_NE(script.find("$p1 using 1:2 with steps axes x1y2"), std::string::npos) << script;
  EXPECT_NE(script.find("set y2range [-0.2:1.2]"), std::string::npos) << script;
}

}  // namespace
}  // namespace tiway
