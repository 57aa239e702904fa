// The run sequence of tiway against a stand-in ZorMain: which commands a run
// issues, in which order, with which parameter blocks, and what it reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "base/point_records.h"
#include "tools/cli/cli_args.h"
#include "tools/cli/session.h"

namespace tiway {
namespace {

// What the stand-in driver saw and what it answers.
struct FakeDriver {
  std::vector<int32_t> commands;
  int32_t coldStartStatus = 0;
  int32_t defineStatus = 0;
  int32_t transferStatus = 0;
  ColdStartParams coldStart{};
  int32_t hostDataType = -100;
  int32_t definedCount = -100;
  std::string addressText;
  BlockRequest block{};
  std::vector<uint16_t> written;   // the host array of a write, as received
  std::vector<uint16_t> readData;  // what a read stores, word by word from data[0]
  std::vector<std::string> log;
};
FakeDriver* g_fake = nullptr;

int32_t TIWAY_ZOR_CALL FakeZorMain(ZorRequest* request) {
  FakeDriver& f = *g_fake;
  f.commands.push_back(request->command);
  switch (request->command) {
    case kGetDriverInfo: {
      auto* info = static_cast<DriverInfo*>(request->params);
      info->driverId = 70;
      info->name = "TIWAY I";
      info->banner = "\n\xDA\xC4\xBF\n";
      info->contextSize = 1470;
      info->defaultLine = LineSettings{19200, 7, 0, 1};
      return 0;
    }
    case kColdStart:
      f.coldStart = *static_cast<ColdStartParams*>(request->params);
      if (f.coldStartStatus == 2) f.log.push_back("ZOR01: TW: ColdStart(): Fail to open X");
      return f.coldStartStatus;
    case kDefinePoint:
    case kCheckBlock: {
      auto* definition = static_cast<PointDefinition*>(request->params);
      f.addressText = definition->addressText;
      f.hostDataType = definition->hostDataType;
      f.definedCount = definition->elementCount;
      const bool bit = f.addressText.size() == 8;
      const char letter = static_cast<char>(std::toupper(f.addressText[2]));
      definition->address = PointAddress{5, letter, 0x64, bit ? 10 : 255,
                                         letter == 'F'            ? 32
                                         : (bit || letter != 'V') ? 1
                                                                  : 16};
      return f.defineStatus;
    }
    case kReadBlock:
    case kWriteBlock: {
      auto* block = static_cast<BlockRequest*>(request->params);
      f.block = *block;
      if (request->command == kWriteBlock) {
        f.written.assign(block->data, block->data + 2 * block->elementCount + 2);
      } else if (f.transferStatus == 0) {
        for (size_t i = 0; i < f.readData.size(); ++i) block->data[i] = f.readData[i];
      }
      std::strcpy(request->context->requestFrame, ":001E01050006200100040064DE6E;");
      return f.transferStatus;
    }
    case kStop:
      return 0;
    default:
      return -1;
  }
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
    ParseResult parsed = ParseArgs(args, "");
    EXPECT_EQ(parsed.error, "");
    out_.str("");
    err_.str("");
    return tiway::Run(parsed.options, host_, out_, err_);
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
  EXPECT_EQ(fake_.commands,
            (std::vector<int32_t>{kGetDriverInfo, kColdStart, kDefinePoint, kReadBlock, kStop}));
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
  EXPECT_EQ(RunArgs({"read", "05F0064", "2", "--port", "NUL", "--json"}), kExitOk);
  EXPECT_EQ(fake_.commands[2], kCheckBlock);
  EXPECT_EQ(fake_.definedCount, 4);  // two values, four 16-bit words
  EXPECT_EQ(fake_.block.elementCount, 4);
  const std::string out = out_.str();
  EXPECT_NE(out.find("{\"point\":\"05F0064\",\"value\":305419896,\"hex\":\"0x12345678\"}"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"05F0066\",\"value\":2596069104"), std::string::npos) << out;
}

TEST_F(Session, SingleBitWriteCarriesTheBitInDataOne) {
  EXPECT_EQ(RunArgs({"write", "05V0064A", "1", "--port", "NUL"}), kExitOk);
  EXPECT_EQ(fake_.commands,
            (std::vector<int32_t>{kGetDriverInfo, kColdStart, kDefinePoint, kWriteBlock, kStop}));
  EXPECT_EQ(fake_.hostDataType, 6);
  EXPECT_EQ(fake_.block.elementCount, 1);
  ASSERT_GE(fake_.written.size(), 2u);
  EXPECT_EQ(fake_.written[1], 1);
}

TEST_F(Session, BadAddressIsRefusedBeforeTheDriverIsAsked) {
  EXPECT_EQ(RunArgs({"read", "05V0064A", "--port", "NUL", "--host-type", "0"}), kExitBadPoint);
  EXPECT_TRUE(fake_.commands.empty());
  EXPECT_NE(err_.str().find("a V word takes no bit digit"), std::string::npos) << err_.str();
}

TEST_F(Session, PortThatCannotBeOpenedIsNamed) {
  fake_.coldStartStatus = 2;
  EXPECT_EQ(RunArgs({"read", "05V0064", "--port", "/dev/ttyS9"}), kExitPortFailed);
  EXPECT_NE(err_.str().find("cannot open port /dev/ttyS9"), std::string::npos) << err_.str();
  // No definition and no transfer on a port that is not open.
  EXPECT_EQ(std::count(fake_.commands.begin(), fake_.commands.end(), kReadBlock), 0);
}

TEST_F(Session, DriverRefusalOfADefinitionStopsTheInstance) {
  fake_.defineStatus = 1;
  EXPECT_EQ(RunArgs({"read", "05V0064", "--port", "NUL", "--json"}), kExitBadPoint);
  EXPECT_EQ(fake_.commands.back(), kStop);
  EXPECT_NE(out_.str().find("\"step\":\"DefinePoint\",\"status\":1"), std::string::npos)
      << out_.str();
}

TEST_F(Session, TransferStatusIsShownWithItsMeaningAndTrace) {
  fake_.transferStatus = 258;
  EXPECT_EQ(RunArgs({"read", "05V0064", "4", "--port", "NUL", "--json", "--trace"}), kExitTransfer);
  const std::string out = out_.str();
  EXPECT_NE(out.find("\"status\":258"), std::string::npos) << out;
  EXPECT_NE(out.find("primitive error code 0x0102"), std::string::npos) << out;
  EXPECT_NE(out.find("\"requestNote\":\"station 05, read V (2001), count 4, address 0064"),
            std::string::npos)
      << out;
  EXPECT_EQ(fake_.commands.back(), kStop);
}

TEST_F(Session, WatchShowsOnlyChangesAndStopsAfterItsPolls) {
  // The stand-in answers every read with the same data: only the first poll
  // prints.
  fake_.readData = {0, 1, 0, 0};
  EXPECT_EQ(RunArgs({"watch", "02X0001", "2", "--port", "NUL", "--polls", "3"}), kExitOk);
  EXPECT_EQ(std::count(fake_.commands.begin(), fake_.commands.end(), kReadBlock), 3);
  const std::string out = out_.str();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
  EXPECT_NE(out.find("05X0064   1"), std::string::npos) << out;
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

}  // namespace
}  // namespace tiway
