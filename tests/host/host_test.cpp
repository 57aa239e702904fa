// The host library: the driver's log lines read back against the formats
// the driver writes with, the typed instance against a stand-in ZorMain and
// against the real library, loading failures, and status meanings.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "zortw/log_formats.h"
#include "host/driver.h"
#include "host/instance.h"
#include "host/log_lines.h"
#include "host/status.h"

namespace {

using zortw_host::LogEvent;
using Strings = std::vector<std::string>;

template <class... Values>
std::string Format(const char* format, Values... values) {
  char line[256];
  std::snprintf(line, sizeof line, format, values...);
  return line;
}

TEST(LogLines, EveryFormatOfTheDriverReadsBack) {
  struct Case {
    std::string line;
    LogEvent event;
    int32_t instance;
    int64_t value;
    std::string text;
  };
  const Case cases[] = {
      {Format(log_format::kColdStartOpenFailed, 5, "/dev/ttyUSB0"), LogEvent::PortOpenFailed, 5, 0,
       "/dev/ttyUSB0"},
      {Format(log_format::kColdStartOpenFailed, 7, "COM1"), LogEvent::PortOpenFailed, 7, 0, "COM1"},
      {Format(log_format::kColdStartLoaded, 123), LogEvent::Loaded, 123, 0, ""},
      {Format(log_format::kColdStartFailed, 1, 7), LogEvent::AdapterFailed, 1, 7, ""},
      {Format(log_format::kColdStartFailed, 2, 65535), LogEvent::AdapterFailed, 2, 65535, ""},
      {Format(log_format::kWarmStartFailed, 3, 255), LogEvent::WarmStartFailed, 3, 255, ""},
      {Format(log_format::kWarmStartEnded, 4, 0), LogEvent::WarmStartEnded, 4, 0, ""},
      {Format(log_format::kConfigureFailed, 5, 2), LogEvent::ConfigureFailed, 5, 2, ""},
      {Format(log_format::kReconnectFailed, 6, 0x0A), LogEvent::ReconnectFailed, 6, 0x0A, ""},
      {Format(log_format::kReplyNoColon, 7), LogEvent::ReplyNoColon, 7, 0, ""},
      {Format(log_format::kReplyNoEnd, 7), LogEvent::ReplyNoEnd, 7, 0, ""},
      {Format(log_format::kReplyNotHex, 7), LogEvent::ReplyNotHex, 7, 0, ""},
      {Format(log_format::kReplyBadChecksum, 7), LogEvent::ReplyBadChecksum, 7, 0, ""},
      {Format(log_format::kReplyPrimitiveError, 9, 0x0102u), LogEvent::ReplyPrimitiveError, 9,
       0x0102, ""},
      {Format(log_format::kReplyPrimitiveError, 9, 0xFFFFu), LogEvent::ReplyPrimitiveError, 9,
       0xFFFF, ""},
      {Format(log_format::kReplyForeign, 10), LogEvent::ReplyForeign, 10, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const zortw_host::LogLine parsed = zortw_host::ParseLogLine(c.line);
    EXPECT_EQ(parsed.event, c.event);
    EXPECT_EQ(parsed.instance, c.instance);
    EXPECT_EQ(parsed.value, c.value);
    EXPECT_EQ(parsed.text, c.text);
    EXPECT_EQ(zortw_host::LineInstance(c.line), c.instance);
  }
}

TEST(LogLines, NearMissesAreNoLineOfTheDriver) {
  for (const char* line : {"", "driver: ZOR05: TW: CheckReply() bcc error",
                           "ZOR05: TW: ColdStart(): Fail rc = ",   // no number
                           "ZOR05: TW: ColdStart(): Fail rc = 7",  // the blank is missing
                           "ZOR05: TW: CheckReply() bcc error!",   // trailing text
                           "ZORx5: TW: CheckReply() bcc error",    // no instance
                           "ZOR05: TW: CheckReply() - primitive error: 01G2"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(zortw_host::ParseLogLine(line).event, LogEvent::Unknown);
  }
  EXPECT_EQ(zortw_host::LineInstance("tiway: ZOR05:"), std::nullopt);
  EXPECT_EQ(zortw_host::LineInstance("ZOR12 no colon"), std::nullopt);
}

TEST(LogLines, RetriesAndTheAdapterFailureFromACallsLines) {
  const Strings lines = {
      Format(log_format::kConfigureFailed, 1, 7),  // not ColdStart's verdict
      Format(log_format::kReplyBadChecksum, 1),    // a refused reply
      Format(log_format::kReplyPrimitiveError, 1, 0x0104u),
      Format(log_format::kColdStartFailed, 1, 7),
      "something else",
  };
  EXPECT_EQ(zortw_host::CountReplyRefusals(lines), 2);
  EXPECT_EQ(zortw_host::AdapterFailure(lines), 7);
  EXPECT_EQ(zortw_host::AdapterFailure({Format(log_format::kColdStartLoaded, 1)}), std::nullopt);
}

// A stand-in driver: records what it was asked and logs one line per call
// through the collecting log function, as the driver logs on the caller's
// thread.
struct Seen {
  std::vector<int32_t> commands;
  std::vector<int32_t> instances;
  std::vector<ZorPortContext*> contexts;
  ZorColdStartParams coldStart{};
  ZorBlockRequest block{};
  std::string definedText;
  int32_t definedType = -1, definedCount = -1;
} g_seen;

int32_t ZORTW_CALL StandIn(ZorRequest* request) {
  g_seen.commands.push_back(request->command);
  g_seen.instances.push_back(request->instance);
  g_seen.contexts.push_back(request->context);
  zortw_host::CollectingLog(32, "ZOR%02d: command %d", request->instance, request->command);
  switch (request->command) {
    case ZOR_GET_DRIVER_INFO:
      static_cast<ZorDriverInfo*>(request->params)->contextSize = 2000;
      return ZOR_OK;
    case ZOR_COLD_START:
      g_seen.coldStart = *static_cast<ZorColdStartParams*>(request->params);
      return ZOR_OK;
    case ZOR_DEFINE_POINT:
    case ZOR_CHECK_BLOCK: {
      auto* definition = static_cast<ZorPointDefinition*>(request->params);
      g_seen.definedText = definition->addressText;
      g_seen.definedType = definition->hostDataType;
      g_seen.definedCount = definition->elementCount;
      definition->address = ZorPointAddress{5, 'V', 0x64, ZOR_WHOLE_ELEMENT, 16};
      return ZOR_OK;
    }
    case ZOR_READ_BLOCK:
    case ZOR_READ_BLOCK_UNCHECKED:
    case ZOR_WRITE_BLOCK:
    case ZOR_WRITE_BLOCK_UNCHECKED:
      g_seen.block = *static_cast<ZorBlockRequest*>(request->params);
      if (request->command == ZOR_READ_BLOCK) g_seen.block.data[0] = 0x1234;
      return ZOR_PRIMITIVE_NOT_CONNECTED;
    default:
      return ZOR_NO_COMMAND;
  }
}

TEST(Instance, FillsEachBlockAndReturnsTheStatusWithTheCallsOwnLines) {
  g_seen = Seen{};
  zortw_host::Instance instance(&StandIn, 4);
  ZorDriverInfo info{};
  EXPECT_TRUE(instance.Info(info).ok());
  EXPECT_EQ(instance.Bytes().size(), 2000u);  // grown to the driver's contextSize

  const zortw_host::Result start = instance.Start("/dev/ttyS0123456", 25, zortw_host::kPtyLine);
  EXPECT_EQ(start.status, ZOR_OK);
  EXPECT_EQ(start.log, Strings{"ZOR04: command 1"});
  // A name longer than 11 characters is cut to fit the field, NUL kept.
  EXPECT_STREQ(g_seen.coldStart.portName, "/dev/ttyS01");
  EXPECT_EQ(g_seen.coldStart.enabled, 1u);
  EXPECT_EQ(g_seen.coldStart.readTimeout, 25);
  EXPECT_EQ(g_seen.coldStart.line.dataBits, 8);

  ZorPointAddress address{};
  EXPECT_TRUE(instance.CheckBlock("05v0064", ZOR_HOST_TYPE_WORD, 4, address).ok());
  EXPECT_EQ(g_seen.definedText, "05v0064");
  EXPECT_EQ(g_seen.definedCount, 4);
  EXPECT_EQ(address.elementAddress, 0x64u);
  EXPECT_TRUE(instance.Define("05V0064A", ZOR_HOST_TYPE_BIT, address).ok());
  EXPECT_EQ(g_seen.definedType, ZOR_HOST_TYPE_BIT);

  uint16_t data[4] = {};
  const zortw_host::Result read = instance.Read(address, 4, data);
  EXPECT_EQ(read.status, ZOR_PRIMITIVE_NOT_CONNECTED);
  EXPECT_FALSE(read.ok());
  EXPECT_EQ(read.log, Strings{"ZOR04: command 5"});
  EXPECT_EQ(data[0], 0x1234);
  EXPECT_EQ(g_seen.block.elementCount, 4);
  EXPECT_EQ(g_seen.block.data, data);
  instance.Write(address, 1, data, false);
  EXPECT_EQ(instance.Stop().status, ZOR_NO_COMMAND);

  EXPECT_EQ(
      g_seen.commands,
      (std::vector<int32_t>{ZOR_GET_DRIVER_INFO, ZOR_COLD_START, ZOR_CHECK_BLOCK, ZOR_DEFINE_POINT,
                            ZOR_READ_BLOCK, ZOR_WRITE_BLOCK_UNCHECKED, ZOR_STOP}));
  for (int32_t n : g_seen.instances) EXPECT_EQ(n, 4);
  // Every call after the context grew carries the same context.
  for (size_t i = 2; i < g_seen.contexts.size(); ++i) {
    EXPECT_EQ(g_seen.contexts[i], g_seen.contexts[1]);
  }
}

TEST(Instance, LinesOfAnotherThreadsCallsStayWithThatThread) {
  zortw_host::Instance mine(&StandIn, 1);
  zortw_host::Result other;
  std::thread thread([&other] {
    zortw_host::Instance theirs(&StandIn, 2);
    other = theirs.Stop();
  });
  thread.join();
  EXPECT_EQ(mine.Stop().log, Strings{"ZOR01: command 11"});
  EXPECT_EQ(other.log, Strings{"ZOR02: command 11"});
}

TEST(LoadDriver, NamesWhatWentWrong) {
  const zortw_host::Driver missing = zortw_host::LoadDriver("/nonexistent/libzortw.so");
  EXPECT_EQ(missing.zorMain, nullptr);
  EXPECT_NE(missing.error.find("cannot load the driver /nonexistent/libzortw.so"),
            std::string::npos);
  // A library that is no driver.
  const zortw_host::Driver foreign = zortw_host::LoadDriver("libm.so.6");
  EXPECT_EQ(foreign.zorMain, nullptr);
  EXPECT_EQ(foreign.error, "libm.so.6 exports no ZorMain");
}

TEST(LoadDriver, TheRealLibraryLogsLinesTheParserReads) {
  const zortw_host::Driver driver =
      zortw_host::LoadDriver(ZORTW_LIBRARY_PATH, &zortw_host::CollectingLog);
  ASSERT_NE(driver.zorMain, nullptr) << driver.error;
  ASSERT_NE(driver.setLog, nullptr);
  zortw_host::Instance instance(driver.zorMain, 12);
  ZorDriverInfo info{};
  ASSERT_TRUE(instance.Info(info).ok());
  EXPECT_EQ(info.contextSize, ZOR_CONTEXT_SIZE);
  const zortw_host::Result start = instance.Start("/nonexist", 10, info.defaultLine);
  EXPECT_EQ(start.status, ZOR_LINE_FAILURE);
  ASSERT_EQ(start.log.size(), 1u);
  const zortw_host::LogLine line = zortw_host::ParseLogLine(start.log[0]);
  EXPECT_EQ(line.event, LogEvent::PortOpenFailed);
  EXPECT_EQ(line.instance, 12);
  EXPECT_EQ(line.text, "/nonexist");
  EXPECT_EQ(instance.Call(9, nullptr).status, ZOR_NO_COMMAND);
  driver.setLog(nullptr);
}

TEST(StatusMeaning, DependsOnTheStepAndNamesTheCodes) {
  using zortw_host::Step;
  const struct {
    int32_t status;
    Step step;
    const char* part;
  } cases[] = {
      {ZOR_LINE_FAILURE, Step::ColdStart, "could not be opened"},
      {ZOR_LINE_FAILURE, Step::Block, "three attempts"},
      {ZOR_NO_REPLY, Step::Adapter, "no reply"},
      {ZOR_NO_REPLY, Step::Block, "code 0007 (not a documented code)"},
      {ZOR_REPLY_INCOMPLETE, Step::Adapter, "incomplete reply"},
      {ZOR_REPLY_INVALID, Step::Block, "invalid reply"},
      {ZOR_PRIMITIVE_NO_STATION, Step::Block, "no such station"},
      {ZOR_PRIMITIVE_PARTIAL_ELEMENT, Step::Block, "whole number of elements"},
      {ZOR_NO_COMMAND, Step::Block, "no command"},
  };
  for (const auto& c : cases) {
    EXPECT_NE(zortw_host::StatusMeaning(c.status, c.step).find(c.part), std::string::npos)
        << c.status;
  }
  EXPECT_NE(zortw_host::AdapterRefusalMeaning(ZOR_ADAPTER_NOT_CONFIGURED).find("not configured"),
            std::string::npos);
}

}  // namespace
