#include "driver/driver_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/zormain.h"

namespace {

std::string Repeat(char c, size_t n) {
  return std::string(n, c);
}

TEST(GetDriverInfo, FillsEveryFieldWithoutAContext) {
  DriverInfo info;
  std::memset(&info, 0xAB, sizeof info);
  ZorRequest request{nullptr, 14, 3, 0, &info};
  EXPECT_EQ(ZorMain(&request), 0);
  EXPECT_EQ(info.driverId, 70);
  EXPECT_STREQ(info.name, "TIWAY I");
  EXPECT_EQ(info.contextSize, 1470);
  EXPECT_EQ(info.infoValueA, 4);
  EXPECT_EQ(info.infoValueB, 3);
  EXPECT_EQ(info.defaultLine.baudRate, 19200);
  EXPECT_EQ(info.defaultLine.dataBits, 7);
  EXPECT_EQ(info.defaultLine.stopBits, 0);
  EXPECT_EQ(info.defaultLine.parity, 1);
  EXPECT_EQ(info.banner, DriverBanner());
}

TEST(GetDriverInfo, BannerIsTheExactBox) {
  const std::string banner = DriverBanner();
  ASSERT_EQ(banner.size(), 379u);
  const std::string top = "\xDA" + Repeat('\xC4', 60) + "\xBF";
  const std::string line2 = "\xB3 " + Repeat('\xDB', 5) + Repeat('\xB2', 6) + Repeat('\xB1', 6) +
                            Repeat('\xB0', 5) + " Z O R T W   " + Repeat('\xB0', 5) +
                            Repeat('\xB1', 6) + Repeat('\xB2', 6) + Repeat('\xDB', 5) + "  \xB3";
  const std::string line3 =
      "\xB3" + Repeat(' ', 15) + "TIWAY I  Driver. for TI 530" + Repeat(' ', 18) + "\xB3";
  const std::string line4 =
      "\xB3" + Repeat(' ', 12) + "Non-Intelligent Terminal Protocol" + Repeat(' ', 15) + "\xB3";
  const std::string bottom = "\xC0" + Repeat('\xC4', 60) + "\xD9";
  EXPECT_EQ(banner.substr(0, 1), "\n");
  EXPECT_EQ(banner.substr(1, 63), top + "\n");
  EXPECT_EQ(banner.substr(64, 63), line2 + "\n");
  EXPECT_EQ(banner.substr(127, 63), line3 + "\n");
  EXPECT_EQ(banner.substr(190, 63), line4 + "\n");
  const std::string line5 = banner.substr(253, 63);
  EXPECT_EQ(line5.substr(0, 7), "\xB3" + Repeat(' ', 6));
  EXPECT_NE(line5[7], ' ');
  EXPECT_NE(line5.find("zortw"), std::string::npos);
  EXPECT_NE(line5.find(ZORTW_VERSION), std::string::npos);
  EXPECT_EQ(line5.substr(61), "\xB3\n");
  EXPECT_EQ(banner.substr(316, 63), bottom + "\n");
}

TEST(ZorMain, CodesWithoutACommandTouchNothing) {
  for (int32_t code : {0, 8, 9, 16, -1, 255, 0x7FFFFFFF, static_cast<int32_t>(0x80000000)}) {
    PortContext context;
    std::memset(&context, 0x5A, sizeof context);
    unsigned char params[64];
    std::memset(params, 0x3C, sizeof params);
    ZorRequest request{&context, code, 1, 0, params};
    EXPECT_NE(ZorMain(&request), 0) << "code " << code;
    for (size_t i = 0; i < sizeof context; ++i)
      ASSERT_EQ(reinterpret_cast<unsigned char*>(&context)[i], 0x5A) << "code " << code;
    for (unsigned char b : params) ASSERT_EQ(b, 0x3C);
  }
}

// Host mistakes get a status, never a crash: no request at all, no context
// for a command that works on one, no parameter block for a command that
// reads one. Nothing is touched. GetDriverInfo needs no context, and
// ReopenPort answers a missing block itself with 2, as for any block that
// names no device.
TEST(ZorMain, HostMistakesAreRefusedWith1) {
  EXPECT_EQ(ZorMain(nullptr), 1);
  for (int32_t code = 1; code <= 15; ++code) {
    if (code == 8 || code == 9) continue;
    SCOPED_TRACE("code " + std::to_string(code));
    PortContext context;
    std::memset(&context, 0x5A, sizeof context);
    unsigned char params[64];
    std::memset(params, 0x3C, sizeof params);
    ZorRequest noContext{nullptr, code, 1, 0, params};
    if (code != 14) {
      EXPECT_EQ(ZorMain(&noContext), 1);
    }
    for (unsigned char b : params) ASSERT_EQ(b, 0x3C);
    ZorRequest noParams{&context, code, 1, 0, nullptr};
    const bool readsParams = code == 1 || (code >= 3 && code <= 7) || code == 10 || code == 14;
    if (readsParams) {
      EXPECT_EQ(ZorMain(&noParams), 1);
    } else if (code == 15) {
      EXPECT_EQ(ZorMain(&noParams), 2);
    }
    for (size_t i = 0; i < sizeof context; ++i)
      ASSERT_EQ(reinterpret_cast<unsigned char*>(&context)[i], 0x5A);
  }
}

}  // namespace
