// Start-up on a context that the host did not zero-fill: the portHandle
// found there is no port of the layer's, and nothing is closed, purged or
// written through it. (OpenPort and ReopenPort: tests/serial/posix.)
#include <gtest/gtest.h>

#include <cstring>

#include "driver/startup.h"
#include "tests/fake/fake_line.h"

namespace {

TEST(ForeignHandle, StartUpNeverActsOnAPortTheLayerDidNotOpen) {
  for (auto* command : {ColdStart, WarmStart}) {
    fake::FakeLine line;
    line.Feed("the host's bytes");  // what a purge through the handle would drop
    PortContext context;
    std::memset(&context, 0xA5, sizeof context);
    context.portHandle = 0xA5A5A5A5u;
    ColdStartParams params{"COM1", 1, 100, LineSettings{19200, 7, 0, 1}};
    ZorRequest request{&context, 1, 1, 0, &params};
    command(&request);
    EXPECT_TRUE(line.closes.empty());  // no close of the foreign handle succeeded
    if (command == ColdStart) {
      ASSERT_EQ(line.opens.size(), 1u);
      EXPECT_EQ(context.portHandle, line.opens[0].handle);
    } else {
      EXPECT_TRUE(line.writes.empty());  // not one adapter frame
      EXPECT_EQ(line.PendingInput(), "the host's bytes");
    }
  }
}

}  // namespace
