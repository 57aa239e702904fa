#include "driver/driver_info.h"

#include <array>
#include <cstddef>
#include <string_view>

#ifndef ZORTW_VERSION
#define ZORTW_VERSION "0.0.0"
#endif

namespace {

// Code page 437 box-drawing and shade bytes.
constexpr char kTopLeft = '\xDA', kTopRight = '\xBF', kBottomLeft = '\xC0', kBottomRight = '\xD9';
constexpr char kHorizontal = '\xC4', kVertical = '\xB3';
constexpr char kFull = '\xDB', kDark = '\xB2', kMedium = '\xB1', kLight = '\xB0';

constexpr size_t kLineWidth = 62;  // two border bytes and 60 between them
constexpr size_t kBannerLength = 1 + 6 * (kLineWidth + 1);
static_assert(kBannerLength == 379);

constexpr std::string_view kNotice = "zortw NITP serial driver, version " ZORTW_VERSION;
static_assert(6 + kNotice.size() <= 60, "the notice must fit the box");

struct Writer {
  std::array<char, kBannerLength + 1> text{};
  size_t at = 0;
  constexpr void Put(char c, size_t n = 1) {
    for (size_t i = 0; i < n; ++i) text[at++] = c;
  }
  constexpr void Put(std::string_view s) {
    for (char c : s) text[at++] = c;
  }
  // One box row: left border, content padded with blanks to 60, right border.
  constexpr void Row(size_t lead, std::string_view content) {
    size_t start = at;
    Put(kVertical);
    Put(' ', lead);
    Put(content);
    Put(' ', kLineWidth - 1 - (at - start));
    Put(kVertical);
    Put('\n');
  }
};

constexpr std::array<char, kBannerLength + 1> MakeBanner() {
  Writer w;
  w.Put('\n');
  w.Put(kTopLeft);
  w.Put(kHorizontal, 60);
  w.Put(kTopRight);
  w.Put('\n');
  // Line 2 is fully specified byte for byte.
  w.Put(kVertical);
  w.Put(' ');
  w.Put(kFull, 5);
  w.Put(kDark, 6);
  w.Put(kMedium, 6);
  w.Put(kLight, 5);
  w.Put(' ');
  w.Put("Z O R T W");
  w.Put(' ', 3);
  w.Put(kLight, 5);
  w.Put(kMedium, 6);
  w.Put(kDark, 6);
  w.Put(kFull, 5);
  w.Put(' ', 2);
  w.Put(kVertical);
  w.Put('\n');
  w.Row(15, "TIWAY I  Driver. for TI 530");
  w.Row(12, "Non-Intelligent Terminal Protocol");
  w.Row(6, kNotice);
  w.Put(kBottomLeft);
  w.Put(kHorizontal, 60);
  w.Put(kBottomRight);
  w.Put('\n');
  w.text[w.at] = '\0';
  return w.text;
}

constexpr std::array<char, kBannerLength + 1> kBanner = MakeBanner();
static_assert(kBanner[kBannerLength] == '\0');

}  // namespace

const char* DriverBanner() {
  return kBanner.data();
}

int32_t GetDriverInfo(ZorRequest* request) {
  auto* info = static_cast<DriverInfo*>(request->params);
  info->driverId = kDriverId;
  info->name = kDriverName;
  info->banner = DriverBanner();
  info->contextSize = kContextSize;
  info->infoValueA = kInfoValueA;
  info->defaultLine = kDefaultLine;
  info->infoValueB = kInfoValueB;
  return 0;
}
