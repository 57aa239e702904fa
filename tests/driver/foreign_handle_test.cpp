// Start-up and port commands on a context that the host did not zero-fill:
// the portHandle they find there is no port of the layer's, and nothing is
// closed, purged or written through it.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/port_commands.h"
#include "driver/startup.h"
#include "tests/fake/fake_line.h"

namespace {

constexpr SerialHandle kForeign = 0xA5A5A5A5u;

TEST(ForeignHandle, CommandsNeverActOnAPortTheLayerDidNotOpen) {
  struct Case {
    const char* name;
    int32_t (*command)(ZorRequest*);
    bool opens;  // a new port replaces the foreign handle
  };
  const Case cases[] = {
      {"ColdStart", ColdStart, true},
      {"OpenPort", OpenPort, true},
      {"ReopenPort", ReopenPort, true},
      {"WarmStart", WarmStart, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::FakeLine line;
    line.Feed("the host's bytes");  // what a purge through the handle would drop
    PortContext context;
    std::memset(&context, 0xA5, sizeof context);
    context.portHandle = kForeign;
    std::strcpy(context.settings.portName, "COM1");
    ColdStartParams coldStart{};
    std::strcpy(coldStart.portName, "COM1");
    coldStart.enabled = 1;
    coldStart.readTimeout = 100;
    coldStart.line = LineSettings{19200, 7, 0, 1};
    ReopenPortParams reopen{};
    std::strcpy(reopen.portName, "COM2");
    reopen.line = coldStart.line;
    void* params = c.command == ColdStart ? static_cast<void*>(&coldStart) : &reopen;
    ZorRequest request{&context, 1, 1, 0, params};

    c.command(&request);
    EXPECT_TRUE(line.closes.empty());  // no close of the foreign handle succeeded
    if (c.opens) {
      ASSERT_EQ(line.opens.size(), 1u);
      EXPECT_EQ(context.portHandle, line.opens[0].handle);
    } else {
      EXPECT_TRUE(line.opens.empty());
      EXPECT_TRUE(line.writes.empty());  // not one adapter frame
      EXPECT_EQ(line.PendingInput(), "the host's bytes");
    }
  }
}

}  // namespace
