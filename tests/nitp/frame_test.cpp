// Frame encoding: hex fields, checksum, request frames and their limits.
#include "nitp/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/records.h"

namespace {

BlockRequest Request(int32_t station, int32_t letter, uint32_t address, int32_t bits, int32_t count,
                     uint16_t* data = nullptr) {
  BlockRequest r{};
  r.address.station = station;
  r.address.typeLetter = letter;
  r.address.elementAddress = address;
  r.address.bitNumber = bits == 1 && letter == 'V' ? 0 : kWholeElement;
  r.address.bitsPerElement = bits;
  r.elementCount = count;
  r.data = data;
  return r;
}

// A frame buffer with a guard behind its 590 bytes, which composition must
// never touch.
struct GuardedBuffer {
  char bytes[kFrameBufferSize + 16];
  GuardedBuffer() { std::memset(bytes, '#', sizeof bytes); }
  bool GuardIntact() const {
    for (size_t i = kFrameBufferSize; i < sizeof bytes; ++i)
      if (bytes[i] != '#') return false;
    return true;
  }
};

std::string Compose(const BlockRequest& r, FrameKind kind, int32_t* status = nullptr) {
  GuardedBuffer b;
  int32_t s = ComposeFrame(&r, b.bytes, kind);
  if (status) *status = s;
  EXPECT_TRUE(b.GuardIntact());
  return std::string(b.bytes, strnlen(b.bytes, kFrameBufferSize));
}

// The checks a receiver makes: ":" and ";", the length field, the checksum.
void ExpectWellFormed(const std::string& frame) {
  ASSERT_GE(frame.size(), 10u);
  EXPECT_EQ(frame.front(), ':');
  EXPECT_EQ(frame.back(), ';');
  EXPECT_EQ(DecodeHex(frame.c_str() + 1, 4), static_cast<int32_t>(frame.size()));
  const int32_t count = static_cast<int32_t>(frame.size()) - 6;
  EXPECT_EQ(FrameChecksum(frame.c_str() + 1, count) & 0xFFFF,
            DecodeHex(frame.c_str() + frame.size() - 5, 4));
}

TEST(FormatHexField, WritesExactlyWidthCharacters) {
  struct Case {
    uint32_t value;
    int width;
    const char* text;
  } cases[] = {
      {0x7, 2, "07"},       {0xFF, 2, "FF"},         {0x123, 2, "12"},    {0x1234, 2, "12"},
      {0x12345, 4, "2345"}, {0, 4, "0000"},          {0xABCD, 4, "ABCD"}, {0x64, 4, "0064"},
      {0xFE, 2, "FE"},      {0xFFFFFFFF, 4, "FFFF"},
  };
  for (const Case& c : cases) {
    char out[8];
    std::memset(out, '#', sizeof out);
    FormatHexField(c.value, c.width, out + 1);
    EXPECT_EQ(std::string(out + 1, c.width), c.text) << std::hex << c.value;
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(out[1 + c.width], '#') << "no terminator, nothing else touched";
  }
}

TEST(DecodeHex, ReadsDigitsUnchecked) {
  EXPECT_EQ(DecodeHex("001E", 4), 30);
  EXPECT_EQ(DecodeHex("FFFF", 4), 65535);
  EXPECT_EQ(DecodeHex("a", 1), 42);  // lower case is not a digit to the decoder
  EXPECT_EQ(DecodeHex("/", 1), -1);  // below '0': a negative digit
  EXPECT_EQ(DecodeHex("XYZ", 0), 0);
  EXPECT_EQ(DecodeHex("12FF", 2), 0x12);  // only count characters
}

TEST(FrameChecksum, KnownSums) {
  EXPECT_EQ(FrameChecksum("0123AB", 6), 0x53DD);  // checksums 0123AB00
  EXPECT_EQ(FrameChecksum("001E01050006200100040064", 24), 0xDE6E);
  EXPECT_EQ(FrameChecksum("0000", 4), 0);
  EXPECT_EQ(FrameChecksum("FFFF0001", 8), 0);  // a sum that is a multiple of 65536
  EXPECT_EQ(FrameChecksum("00200105000730030010010001", 26), 0xCCC1);
}

TEST(FrameChecksum, OddCountsPadWithZerosAndReadNothingBeyond) {
  // "012" is taken as 0120; "01234" as 0123 + 4000; "0123456" as 0123 + 4560.
  EXPECT_EQ(FrameChecksum("012", 3), 0xFEE0);
  EXPECT_EQ(FrameChecksum("01234", 5), (0x10000 - 0x4123) & 0xFFFF);
  EXPECT_EQ(FrameChecksum("0123456", 7), (0x10000 - 0x4683) & 0xFFFF);
  // Whatever follows the text makes no difference...
  EXPECT_EQ(FrameChecksum("012FFFFF", 3), FrameChecksum("01200000", 3));
  // ...and nothing after it is read (exactly sized heap texts, checked
  // under the address sanitizer).
  for (int count = 1; count <= 9; ++count) {
    std::vector<char> text(static_cast<size_t>(count), '7');
    std::vector<char> padded(12, '0');
    std::memcpy(padded.data(), text.data(), text.size());
    EXPECT_EQ(FrameChecksum(text.data(), count), FrameChecksum(padded.data(), (count + 3) / 4 * 4))
        << count;
  }
}

TEST(ComposeFrame, WorkedExamples) {
  uint16_t words[4] = {0xDEAD, 0x1234, 0, 0};
  EXPECT_EQ(Compose(Request(5, 'V', 0x64, 16, 4), ReadFrame), ":001E01050006200100040064DE6E;");
  EXPECT_EQ(Compose(Request(5, 'V', 0x64, 16, 1, words), WriteFrame),
            ":001E01050006300100641234BC3E;");
  uint16_t discretes[4] = {0x5555, 1, 0, 1};
  EXPECT_EQ(Compose(Request(5, 'X', 0x10, 1, 3, discretes), WriteFrame),
            ":00200105000730030010010001CCC1;");

  GuardedBuffer b;
  std::strcpy(b.bytes, "0405");
  EXPECT_EQ(ComposeFrame(nullptr, b.bytes, PlainFrame), 0);
  EXPECT_STREQ(b.bytes, ":000E0405FBED;");
}

TEST(ComposeFrame, ReadFramesAreThirtyCharacters) {
  struct Case {
    char letter;
    int32_t bits;
    int32_t count;
    const char* primitive;  // code, count field
  } cases[] = {
      {'V', 16, 1, "20010001"},  {'V', 16, 140, "2001008C"},     {'V', 1, 1, "20010001"},
      {'F', 32, 4, "20010004"},  {'X', 1, 3, "20030003"},        {'Y', 1, 8, "20040008"},
      {'C', 1, 0, "20050000"},   {'V', 16, 0x10005, "20010005"},  // low 16 bits of the count
      {'V', 16, -1, "2001FFFF"},
  };
  for (const Case& c : cases) {
    std::string f = Compose(Request(1, c.letter, 0xABCD, c.bits, c.count), ReadFrame);
    ASSERT_EQ(f.size(), 30u) << c.letter << c.count;
    EXPECT_EQ(f.substr(5, 8), "01010006");
    EXPECT_EQ(f.substr(13, 8), c.primitive);
    EXPECT_EQ(f.substr(21, 4), "ABCD");
    ExpectWellFormed(f);
  }
}

TEST(ComposeFrame, StationPrefix) {
  EXPECT_EQ(Compose(Request(254, 'V', 1, 16, 1), ReadFrame).substr(5, 4), "01FE");
  EXPECT_EQ(Compose(Request(1, 'V', 1, 16, 1), ReadFrame).substr(5, 4), "0101");
}

TEST(ComposeFrame, WriteFrames) {
  uint16_t data[8] = {0x1111, 0x2222, 0x3333, 0x4444, 0x5555, 0x6666, 0x7777, 0x8888};
  // Count 0: no data.
  std::string f = Compose(Request(2, 'V', 0x10, 16, 0, data), WriteFrame);
  EXPECT_EQ(f.size(), 26u);
  EXPECT_EQ(f.substr(9, 12), "000430010010");
  // n "V" words: primitive length 2n + 4, data[1] onward; data[0] is never sent.
  f = Compose(Request(2, 'V', 0x10, 16, 3, data), WriteFrame);
  EXPECT_EQ(f.substr(9, 4), "000A");
  EXPECT_EQ(f.substr(21, 12), "222233334444");
  // n discretes: n + 4, two digits each from consecutive words.
  f = Compose(Request(2, 'Y', 0x10, 1, 5, data), WriteFrame);
  EXPECT_EQ(f.substr(9, 8), "00093004");
  EXPECT_EQ(f.substr(21, 10), "2233445566");  // most significant digits of each word
  // A single bit of a "V" word carries the whole word.
  f = Compose(Request(2, 'V', 0x10, 1, 1, data), WriteFrame);
  EXPECT_EQ(f.substr(9, 4), "0006");
  EXPECT_EQ(f.substr(21, 4), "2222");
  // "F": each value high word first: data[1], data[0], data[3], data[2].
  f = Compose(Request(2, 'F', 0x10, 32, 4, data), WriteFrame);
  EXPECT_EQ(f.substr(9, 8), "000C3001");
  EXPECT_EQ(f.substr(21, 16), "2222111144443333");
  EXPECT_EQ(Compose(Request(2, 'F', 0x10, 32, 2, data), WriteFrame).substr(21, 8), "22221111");
}

// The largest write of each kind fits 589 characters, the next is refused;
// the words are read from an array of exactly the size the count names.
TEST(ComposeFrame, LargestWrites) {
  struct Case {
    char letter;
    int32_t bits;
    int32_t largest;    // elements (words for "F")
    size_t frameChars;  // of the largest
    int32_t firstRefused;
    size_t wordsNeeded;  // array words the largest reads
  } cases[] = {
      {'V', 16, 140, 586, 141, 141}, {'V', 1, 140, 586, 141, 141}, {'X', 1, 281, 588, 282, 282},
      {'Y', 1, 281, 588, 282, 282},  {'C', 1, 281, 588, 282, 282}, {'F', 32, 140, 586, 142, 140},
  };
  for (const Case& c : cases) {
    std::vector<uint16_t> data(c.wordsNeeded, 0x0001);
    int32_t status = -1;
    std::string f =
        Compose(Request(9, c.letter, 0x100, c.bits, c.largest, data.data()), WriteFrame, &status);
    EXPECT_EQ(status, 0) << c.letter;
    EXPECT_EQ(f.size(), c.frameChars) << c.letter;
    ExpectWellFormed(f);

    std::vector<uint16_t> more(c.wordsNeeded + 2, 0x0001);
    Compose(Request(9, c.letter, 0x100, c.bits, c.firstRefused, more.data()), WriteFrame, &status);
    EXPECT_EQ(status, 1) << c.letter;
  }
}

TEST(ComposeFrame, RefusedRequestsLeaveNoFrame) {
  uint16_t data[4] = {1, 2, 3, 4};
  struct Case {
    const char* what;
    BlockRequest request;
    FrameKind kind;
  } cases[] = {
      {"letter without a row", Request(1, 'Z', 1, 16, 1, data), ReadFrame},
      {"lower-case letter", Request(1, 'v', 1, 16, 1, data), WriteFrame},
      {"letter 0", Request(1, 0, 1, 16, 1, data), ReadFrame},
      {"letter with high bits", Request(1, 0x156, 1, 16, 1, data), ReadFrame},
      {"F write, odd count", Request(1, 'F', 1, 32, 3, data), WriteFrame},
      {"bits 8, write", Request(1, 'V', 1, 8, 1, data), WriteFrame},
      {"bits 0, read", Request(1, 'V', 1, 0, 1, data), ReadFrame},
      {"negative count", Request(1, 'V', 1, 16, -1, data), WriteFrame},
      {"count whose low 16 bits are 0", Request(1, 'V', 1, 16, -65536, data), WriteFrame},
      {"count above 65535", Request(1, 'X', 1, 1, 65537, data), WriteFrame},
      {"no array", Request(1, 'V', 1, 16, 1, nullptr), WriteFrame},
  };
  for (const Case& c : cases) {
    GuardedBuffer b;
    EXPECT_EQ(ComposeFrame(&c.request, b.bytes, c.kind), 1) << c.what;
    EXPECT_EQ(b.bytes[0], '\0') << c.what;
    EXPECT_TRUE(b.GuardIntact()) << c.what;
  }
  GuardedBuffer b;
  EXPECT_EQ(ComposeFrame(nullptr, b.bytes, ReadFrame), 1);
  EXPECT_EQ(ComposeFrame(&cases[0].request, b.bytes, static_cast<FrameKind>(3)), 1);
}

TEST(ComposeFrame, PlainBodyLimit) {
  GuardedBuffer b;
  std::memset(b.bytes, '0', 579);
  b.bytes[579] = '\0';
  EXPECT_EQ(ComposeFrame(nullptr, b.bytes, PlainFrame), 0);
  std::string f(b.bytes);
  EXPECT_EQ(f.size(), 589u);
  ExpectWellFormed(f);
  EXPECT_TRUE(b.GuardIntact());

  std::memset(b.bytes, '0', 580);
  b.bytes[580] = '\0';
  EXPECT_EQ(ComposeFrame(nullptr, b.bytes, PlainFrame), 1);
  EXPECT_EQ(std::string(b.bytes).size(), 580u) << "left as it was";
}

TEST(TypeTable, Rows) {
  const char* expected[][3] = {
      {"V", "2001", "3001"}, {"F", "2001", "3001"}, {"X", "2003", "3003"},
      {"Y", "2004", "3004"}, {"C", "2005", "3005"},
  };
  for (auto& e : expected) {
    const TypeRow* row = FindTypeRow(e[0][0]);
    ASSERT_NE(row, nullptr) << e[0];
    EXPECT_STREQ(row->readCode, e[1]);
    EXPECT_STREQ(row->writeCode, e[2]);
  }
  EXPECT_EQ(FindTypeRow(0), nullptr);
  EXPECT_EQ(FindTypeRow('B'), nullptr);
}

}  // namespace
