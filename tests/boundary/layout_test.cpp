// The instance context as the host allocates it: 1470 bytes, every field
// packed against the previous one. Laid out at natural alignment the same
// fields would open gaps and overrun the host's block.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/point_records.h"
#include "base/records.h"
#include "tests/boundary/header_c.h"

namespace {

// The same fields at their natural alignment.
struct NaturalLine {
  uint16_t baudRate, dataBits, stopBits, parity;
};
struct NaturalSettings {
  char portName[12];
  NaturalLine line;
  uint16_t handshake;
  uint8_t reserved;  // a gap byte follows
};
struct NaturalContext {
  int32_t readTimeout;
  uint32_t portHandle;
  uint32_t ready;
  NaturalSettings settings;
  char requestFrame[kFrameBufferSize];  // one byte later than in the packed context
  char replyBuffer[kFrameBufferSize];
  uint8_t stations[kStationTableSize];
};

static_assert(sizeof(NaturalSettings) == 24);
static_assert(offsetof(NaturalContext, requestFrame) == 36);
static_assert(sizeof(NaturalContext) > static_cast<size_t>(kContextSize),
              "a naturally aligned context must not fit: the packing is what makes 1470");
static_assert(offsetof(PortContext, stations) + kStationTableSize ==
              static_cast<size_t>(kContextSize));
static_assert(alignof(PortContext) == 1);
static_assert(alignof(PortSettings) == 1);

TEST(ContextLayout, LastStationIsTheLastByteOfTheHostsBlock) {
  // A context placed at an odd address inside exactly the bytes the host
  // allocates: writing every field touches the block and nothing beyond.
  unsigned char block[1 + kContextSize + 1];
  std::memset(block, 0xEE, sizeof block);
  PortContext context{};
  context.readTimeout = 100;
  context.portHandle = 0x11223344u;
  context.ready = 1;
  context.settings.handshake = 0x0008;
  context.stations[254] = 1;
  std::memcpy(block + 1, &context, sizeof context);
  EXPECT_EQ(block[0], 0xEE);
  EXPECT_EQ(block[1 + kContextSize], 0xEE);
  EXPECT_EQ(block[1 + kContextSize - 1], 1);  // stations[254]
  EXPECT_EQ(block[1 + 4], 0x44);              // portHandle, little-endian
  EXPECT_EQ(block[1 + 12 + 20], 0x08);        // settings.handshake
}

TEST(HeaderLayout, CAndTheDriverSeeTheSameRecords) {
  // The C compile of the public header against the names the driver's code
  // uses (the same records, compiled as C++).
  size_t c[kHeaderLayoutValues] = {};
  ZortwHeaderLayoutInC(c);
  const size_t cpp[kHeaderLayoutValues] = {
      sizeof(ZorRequest),      offsetof(ZorRequest, params),
      sizeof(PortContext),     offsetof(PortContext, replyBuffer),
      sizeof(DriverInfo),      offsetof(DriverInfo, defaultLine),
      sizeof(ColdStartParams), sizeof(ReopenPortParams),
      sizeof(PointDefinition), offsetof(PointDefinition, address),
      sizeof(BlockRequest),    offsetof(BlockRequest, data),
      ZOR_REPLY_INVALID,       ZOR_REOPEN_PORT};
  for (int i = 0; i < kHeaderLayoutValues; ++i) EXPECT_EQ(c[i], cpp[i]) << "value " << i;
#if UINTPTR_MAX == 0xFFFFFFFFu
  // The 32-bit layout the header states.
  EXPECT_EQ(c[0], 20u);
  EXPECT_EQ(c[4], 32u);
  EXPECT_EQ(c[8], 36u);
  EXPECT_EQ(c[10], 44u);
#endif
  EXPECT_EQ(c[2], 1470u);
}

}  // namespace
