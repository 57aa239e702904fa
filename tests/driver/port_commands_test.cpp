// Stop, ClosePort, OpenPort and ReopenPort through ZorMain, on the scripted
// fake line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/records.h"
#include "driver/zormain.h"
#include "tests/fake/fake_line.h"
#include "tests/support/log_capture.h"

namespace {

constexpr LineSettings k7O1{19200, 7, 0, 1};
constexpr LineSettings k8N2{9600, 8, 2, 0};

class PortCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&context_, 0, sizeof context_);
    context_.readTimeout = 300;
  }

  int32_t Run(int32_t command, void* params = nullptr) {
    ZorRequest request{&context_, command, 4, 0, params};
    return ZorMain(&request);
  }

  void StoreSettings(const char* name, LineSettings line = k7O1, uint16_t handshake = 0x0008) {
    std::memset(context_.settings.portName, 0, sizeof context_.settings.portName);
    std::strcpy(context_.settings.portName, name);
    context_.settings.line = line;
    context_.settings.handshake = handshake;
  }

  // An instance with its port open on name.
  SerialHandle OpenOn(const char* name) {
    StoreSettings(name);
    EXPECT_EQ(Run(ZOR_OPEN_PORT), 0);
    return context_.portHandle;
  }

  ReopenPortParams Block(const char* name, int32_t readTimeout = 0, LineSettings line = k8N2) {
    ReopenPortParams params;
    std::memset(&params, 0, sizeof params);
    std::strcpy(params.portName, name);
    params.readTimeout = readTimeout;
    params.line = line;
    return params;
  }

  std::string StoredName() const { return std::string(context_.settings.portName); }

  fake::FakeLine line_;
  LogCapture log_;
  PortContext context_;
};

// ---- ClosePort and Stop ----

struct CloseCase {
  const char* what;
  bool portOpen;
  bool closeFails;
  int32_t result;
  bool handleKept;
};

TEST_F(PortCommands, StopAndClosePortFollowTheSameTable) {
  const CloseCase cases[] = {
      {"no port open", false, false, 0, false},
      {"close succeeds", true, false, 0, false},
      {"close fails", true, true, 2, true},
  };
  for (int32_t command : {ZOR_STOP, ZOR_CLOSE_PORT}) {
    for (const CloseCase& c : cases) {
      SCOPED_TRACE(::testing::Message() << "command " << command << ": " << c.what);
      fake::FakeLine line;
      std::memset(&context_, 0, sizeof context_);
      context_.ready = 1;
      SerialHandle handle = c.portOpen ? OpenOn("COM1") : 0;
      line.trace.clear();
      line.closeFails = c.closeFails;

      EXPECT_EQ(Run(command), c.result);
      EXPECT_EQ(context_.portHandle, c.handleKept ? handle : 0u);
      EXPECT_EQ(context_.ready, 1u);  // never cleared here
      EXPECT_EQ(line.trace,
                c.portOpen ? std::vector<std::string>{"close"} : std::vector<std::string>{});
      EXPECT_EQ(line.OpenCount(), c.handleKept ? 1u : 0u);
    }
  }
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(PortCommands, SecondCloseAfterASuccessfulOneReturns0) {
  OpenOn("COM1");
  EXPECT_EQ(Run(ZOR_CLOSE_PORT), 0);
  EXPECT_EQ(Run(ZOR_CLOSE_PORT), 0);
  EXPECT_EQ(line_.closes.size(), 1u);
  EXPECT_EQ(context_.portHandle, 0u);
}

// ---- OpenPort ----

TEST_F(PortCommands, OpenPortOpensTheStoredDeviceAndSetsReady) {
  StoreSettings("COM2", k8N2, 0x0303);
  EXPECT_EQ(Run(ZOR_OPEN_PORT), 0);
  ASSERT_EQ(line_.opens.size(), 1u);
  EXPECT_EQ(line_.opens[0].name, "COM2");
  EXPECT_EQ(line_.opens[0].line.baudRate, 9600);
  EXPECT_EQ(line_.opens[0].line.stopBits, 2);
  EXPECT_EQ(line_.opens[0].handshake, 0x0303);
  EXPECT_EQ(context_.portHandle, line_.opens[0].handle);
  EXPECT_EQ(context_.ready, 1u);
  EXPECT_EQ(context_.readTimeout, 300);
  EXPECT_TRUE(line_.timeoutsSet.empty());
}

TEST_F(PortCommands, OpenPortFailureKeepsHandleAndReady) {
  struct Case {
    const char* what;
    int32_t status;  // the serial layer's status for COM3
  };
  for (const Case& c :
       {Case{"missing", 1}, Case{"not a serial device", 4}, Case{"line settings refused", 5}}) {
    SCOPED_TRACE(c.what);
    fake::FakeLine line;
    if (c.status == 1) line.missingDevices.insert("COM3");
    line.openStatus["COM3"] = c.status;
    std::memset(&context_, 0, sizeof context_);
    context_.ready = 0;
    StoreSettings("COM3");
    EXPECT_EQ(Run(ZOR_OPEN_PORT), 2);
    EXPECT_EQ(context_.portHandle, 0u);
    EXPECT_EQ(context_.ready, 0u);
  }
}

TEST_F(PortCommands, OpenPortWithNoSettingsStoredFails) {
  EXPECT_EQ(Run(ZOR_OPEN_PORT), 2);
  EXPECT_EQ(line_.trace, std::vector<std::string>{"open "});
  EXPECT_EQ(context_.portHandle, 0u);
  EXPECT_EQ(context_.ready, 0u);
}

TEST_F(PortCommands, OpenPortRefusesAStoredNameWithoutItsNul) {
  std::memset(context_.settings.portName, 'C', sizeof context_.settings.portName);
  EXPECT_EQ(Run(ZOR_OPEN_PORT), 2);
  EXPECT_TRUE(line_.trace.empty());
}

TEST_F(PortCommands, OpenPortAfterClosePortReopensTheSameDeviceAtTheFreshTimeOut) {
  SerialHandle first = OpenOn("COM1");
  EXPECT_EQ(Run(ZOR_CLOSE_PORT), 0);
  EXPECT_EQ(context_.ready, 1u);  // stays set while closed
  EXPECT_EQ(context_.portHandle, 0u);
  EXPECT_EQ(Run(ZOR_OPEN_PORT), 0);
  ASSERT_EQ(line_.opens.size(), 2u);
  EXPECT_EQ(line_.opens[1].name, "COM1");
  EXPECT_EQ(std::memcmp(&line_.opens[1].line, &k7O1, sizeof k7O1), 0);
  EXPECT_NE(context_.portHandle, first);
  EXPECT_EQ(line_.TimeoutMs(context_.portHandle), 1000);  // not readTimeout
}

TEST_F(PortCommands, OpenPortWhileOpenLeavesTheOpenPortInUse) {
  SerialHandle handle = OpenOn("COM1");
  EXPECT_EQ(Run(ZOR_OPEN_PORT), 2);  // opened exclusively: the second open fails
  EXPECT_EQ(context_.portHandle, handle);
  EXPECT_TRUE(line_.IsOpen(handle));
}

TEST_F(PortCommands, FurtherOpenOfTheNullPortClosesTheReplacedHandle) {
  SerialHandle first = OpenOn("NUL");
  EXPECT_EQ(Run(ZOR_OPEN_PORT), 0);
  EXPECT_NE(context_.portHandle, first);
  EXPECT_FALSE(line_.IsOpen(first));
  EXPECT_EQ(line_.OpenCount(), 1u);
  EXPECT_EQ(line_.trace.back(), "close");  // after the new handle was stored

  ReopenPortParams params = Block("NUL");
  SerialHandle second = context_.portHandle;
  EXPECT_EQ(Run(ZOR_REOPEN_PORT, &params), 0);
  EXPECT_FALSE(line_.IsOpen(second));
  EXPECT_TRUE(line_.IsOpen(context_.portHandle));
  EXPECT_EQ(line_.OpenCount(), 1u);
}

// ---- ReopenPort ----

struct ReopenCase {
  const char* what;
  const char* openOn;   // nullptr: closed
  const char* newName;  // in the parameter block
  bool newFails;        // the new device cannot be opened
  bool closeFails;
  int32_t result;
  const char* portOn;  // the device portHandle refers to afterwards; nullptr: 0
  std::vector<std::string> trace;
};

TEST_F(PortCommands, ReopenPortFollowsTheStateTable) {
  const ReopenCase cases[] = {
      {"closed, open succeeds", nullptr, "COM2", false, false, 0, "COM2", {"open COM2"}},
      {"closed, open fails", nullptr, "COM2", true, false, 2, nullptr, {"open COM2"}},
      {"open, other name", "COM1", "COM2", false, false, 0, "COM2", {"close", "open COM2"}},
      {"open, other name fails", "COM1", "COM2", true, false, 2, nullptr, {"close", "open COM2"}},
      {"open, same name", "COM1", "COM1", false, false, 2, "COM1", {"open COM1"}},
      {"open, other letter case", "COM1", "com1", false, false, 0, "com1", {"close", "open com1"}},
      {"open, close fails, new open fails",
       "COM1",
       "COM2",
       true,
       true,
       2,
       "COM1",
       {"close", "open COM2"}},
  };
  for (const ReopenCase& c : cases) {
    SCOPED_TRACE(c.what);
    fake::FakeLine line;
    std::memset(&context_, 0, sizeof context_);
    context_.ready = 7;
    SerialHandle old = 0;
    if (c.openOn != nullptr) {
      StoreSettings(c.openOn, k7O1, 0x0101);
      ASSERT_EQ(Run(ZOR_OPEN_PORT), 0);
      old = context_.portHandle;
      context_.ready = 7;
    } else {
      StoreSettings("COM9", k7O1, 0x0101);
    }
    if (c.newFails) line.missingDevices.insert(c.newName);
    line.closeFails = c.closeFails;
    line.trace.clear();
    ReopenPortParams params = Block(c.newName);

    EXPECT_EQ(Run(ZOR_REOPEN_PORT, &params), c.result);
    EXPECT_EQ(line.trace, c.trace);
    EXPECT_EQ(context_.ready, 7u);  // ReopenPort never touches ready
    // The new name and line settings are stored whatever happened; the
    // handshake mask is the one stored before.
    EXPECT_EQ(StoredName(), c.newName);
    EXPECT_EQ(std::memcmp(&context_.settings.line, &k8N2, sizeof k8N2), 0);
    EXPECT_EQ(context_.settings.handshake, 0x0101);
    if (c.portOn == nullptr) {
      EXPECT_EQ(context_.portHandle, 0u);
    } else if (c.openOn != nullptr && std::string(c.portOn) == c.openOn) {
      EXPECT_EQ(context_.portHandle, old);
      EXPECT_TRUE(line.IsOpen(old));
    } else {
      ASSERT_FALSE(line.opens.empty());
      EXPECT_EQ(line.opens.back().name, c.portOn);
      EXPECT_EQ(line.opens.back().handshake, 0x0101);
      EXPECT_EQ(std::memcmp(&line.opens.back().line, &k8N2, sizeof k8N2), 0);
      EXPECT_EQ(context_.portHandle, line.opens.back().handle);
    }
  }
}

TEST_F(PortCommands, ReopenPortAfterAFailedCloseStillReleasesTheOldHandle) {
  SerialHandle old = OpenOn("COM1");
  line_.closeFails = true;
  ReopenPortParams params = Block("COM2");
  EXPECT_EQ(Run(ZOR_REOPEN_PORT, &params), 0);
  EXPECT_NE(context_.portHandle, old);
  // The failed close is tried once more once the new handle is stored.
  EXPECT_EQ(line_.trace, (std::vector<std::string>{"open COM1", "close", "open COM2", "close"}));
}

TEST_F(PortCommands, ReopenPortWithRefusedLineSettingsLeavesThePortClosed) {
  OpenOn("COM1");
  line_.openStatus["COM2"] = 5;
  ReopenPortParams params = Block("COM2");
  EXPECT_EQ(Run(ZOR_REOPEN_PORT, &params), 2);
  EXPECT_EQ(context_.portHandle, 0u);
  EXPECT_EQ(line_.OpenCount(), 0u);
  // A later OpenPort tries the stored settings again.
  line_.openStatus.clear();
  EXPECT_EQ(Run(ZOR_OPEN_PORT), 0);
  EXPECT_EQ(line_.opens.back().name, "COM2");
}

TEST_F(PortCommands, ReopenPortReadTimeOut) {
  struct Case {
    int32_t given;
    int32_t kept;
  };
  // 0 keeps the value, 50 is stored without ColdStart's floor of 100, and a
  // negative value is treated like 0.
  for (const Case& c : {Case{0, 300}, Case{50, 50}, Case{-1, 300}, Case{INT32_MIN, 300}}) {
    SCOPED_TRACE(c.given);
    context_.readTimeout = 300;
    ReopenPortParams params = Block("NUL", c.given);
    EXPECT_EQ(Run(ZOR_REOPEN_PORT, &params), 0);
    EXPECT_EQ(context_.readTimeout, c.kept);
    EXPECT_TRUE(line_.timeoutsSet.empty());  // not applied to the port
  }
}

TEST_F(PortCommands, ReopenPortRefusesANameWithoutItsNulAndChangesNothing) {
  OpenOn("COM1");
  context_.settings.reserved = 0x5A;
  PortContext before;
  std::memcpy(&before, &context_, sizeof before);
  line_.trace.clear();

  // The block is followed in memory by text that must never be read as
  // part of the name.
  struct {
    ReopenPortParams params;
    char after[8];
  } block;
  std::memset(&block, 0, sizeof block);
  std::memcpy(block.params.portName, "COM1234567890", 12);
  block.params.readTimeout = 50;
  block.params.line = k8N2;
  std::memcpy(block.after, "XYZ", 4);

  EXPECT_EQ(Run(ZOR_REOPEN_PORT, &block.params), 2);
  EXPECT_EQ(std::memcmp(&before, &context_, sizeof before), 0);
  EXPECT_TRUE(line_.trace.empty());
}

TEST_F(PortCommands, ReopenPortCopiesTheNameUpToItsNulOnly) {
  StoreSettings("COM1");
  std::memcpy(context_.settings.portName, "COM1\0ABCDEFG", 12);  // bytes behind the NUL
  context_.settings.reserved = 0x5A;
  ReopenPortParams params = Block("NUL");
  std::memcpy(params.portName, "NUL\0zzzzzzzz", 12);
  EXPECT_EQ(Run(ZOR_REOPEN_PORT, &params), 0);
  EXPECT_EQ(std::memcmp(context_.settings.portName, "NUL\0\0ABCDEFG", 12), 0);
  EXPECT_EQ(context_.settings.handshake, 0x0008);
  EXPECT_EQ(context_.settings.reserved, 0x5A);
}

TEST_F(PortCommands, NothingIsLogged) {
  OpenOn("COM1");
  ReopenPortParams params = Block("COM2");
  line_.missingDevices.insert("COM2");
  Run(ZOR_REOPEN_PORT, &params);
  Run(ZOR_OPEN_PORT);
  Run(ZOR_STOP);
  EXPECT_TRUE(log_.Lines().empty());
  EXPECT_TRUE(line_.writes.empty());
}

}  // namespace
