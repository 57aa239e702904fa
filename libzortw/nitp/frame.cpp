// NITP request frames, composed in place: no allocation, no formatted
// printing. Hex digits are written and read by hand.
#include "nitp/frame.h"

#include <cstring>

#include "base/records.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The largest body (station prefix included) that still leaves room for
// ":", the length field, the checksum, ";" and the NUL.
constexpr int32_t kMaxBodyChars = kMaxFrameChars - 10;  // 579

// A primitive read or write carries "01", two station digits, the primitive
// length, the primitive code and the element address: 16 characters before
// any data.
constexpr int32_t kWriteHeadChars = 4 + 4 + 4 + 4;

// Digit value of one frame character, unchecked: '0'-'9' give 0-9, anything
// above '9' gives its code minus 55 ('A'-'F' give 10-15). The character is
// taken as its byte value, so the result is the same whatever the signedness
// of char.
inline uint32_t DigitValue(char c) {
  const uint32_t code = static_cast<unsigned char>(c);
  return code <= 0x39u ? code - 48u : code - 55u;  // wraps for codes below '0'
}

// Four characters as one group of the checksum.
inline uint32_t GroupValue(const char* text) {
  return (DigitValue(text[0]) << 12) + (DigitValue(text[1]) << 8) + (DigitValue(text[2]) << 4) +
         DigitValue(text[3]);
}

// Characters of write data per element, and how many data words the
// element takes from the host's array. The layout follows bitsPerElement:
// 16-bit words and single bits of "V" words go as 4 digits, discretes as 2,
// 32-bit values as two words of 4 digits each. 0 when bitsPerElement is
// none of 1, 16 and 32: such a request has no defined transfer.
struct WriteLayout {
  int32_t charsPerElement;
  int32_t wordsPerElement;
};

inline WriteLayout LayoutFor(const PointAddress& address) {
  switch (address.bitsPerElement) {
    case 16:
      return {4, 1};
    case 1:
      return address.typeLetter == 'V' ? WriteLayout{4, 1} : WriteLayout{2, 1};
    case 32:
      return {8, 2};
    default:
      return {0, 0};
  }
}

// Wraps the body text into a frame. false (buffer untouched) when the body
// is longer than a frame can carry.
bool WrapBody(char* buffer) {
  const int32_t bodyChars = BoundedLength(buffer, kMaxBodyChars + 1);
  if (bodyChars > kMaxBodyChars) return false;
  std::memmove(buffer + 5, buffer, static_cast<size_t>(bodyChars));
  buffer[0] = ':';
  FormatHexField(static_cast<uint32_t>(bodyChars + 10), 4, buffer + 1);
  const int32_t checksum = FrameChecksum(buffer + 1, bodyChars + 4);
  FormatHexField(static_cast<uint32_t>(checksum), 4, buffer + 5 + bodyChars);
  buffer[9 + bodyChars] = ';';
  buffer[10 + bodyChars] = '\0';
  return true;
}

}  // namespace

int32_t BoundedLength(const char* text, int32_t limit) {
  const void* nul = std::memchr(text, 0, static_cast<size_t>(limit));
  return nul == nullptr ? limit : static_cast<int32_t>(static_cast<const char*>(nul) - text);
}

const TypeRow TypeTable[] = {
    {'V', "2001", "3001"}, {'F', "2001", "3001"}, {'X', "2003", "3003"},
    {'Y', "2004", "3004"}, {'C', "2005", "3005"}, {0, "", ""},
};

const TypeRow* FindTypeRow(int32_t typeLetter) {
  for (const TypeRow* row = TypeTable; row->letter != 0; ++row) {
    if (row->letter == typeLetter) return row;
  }
  return nullptr;
}

void FormatHexField(uint32_t value, int width, char* destination) {
  if (width <= 0) return;
  const uint32_t v = value & 0xFFFFu;
  // The value's own digit count (at least one), as "%0<width>X" would print
  // it; the field takes the first width characters of that text, so a value
  // too wide for the field gives its most significant digits.
  int32_t digits = 1;
  while (digits < 4 && (v >> (4 * digits)) != 0) ++digits;
  const int32_t textChars = digits > width ? digits : width;
  for (int32_t i = 0; i < width; ++i) {
    const int32_t shift = 4 * (textChars - 1 - i);  // position i of the text
    destination[i] = shift >= 16 ? '0' : kHexDigits[(v >> shift) & 0xFu];
  }
}

int32_t DecodeHex(const char* text, uint16_t count) {
  uint32_t result = 0;  // unsigned: long or odd texts wrap instead of overflowing
  for (uint32_t i = 0; i < count; ++i) result = result * 16u + DigitValue(text[i]);
  return static_cast<int32_t>(result);
}

int32_t FrameChecksum(const char* text, int32_t count) {
  if (count <= 0) return 0;
  // Every whole group of four lies inside the text.
  const int32_t whole = count / 4 * 4;
  uint32_t sum = 0;
  for (int32_t i = 0; i < whole; i += 4) sum += GroupValue(text + i);
  // A count that is not a multiple of four gets "00" appended once. For an
  // even count that completes the last group. For an odd count (only a
  // malformed reply asks for one) the last group would reach past the
  // appended digits: those positions count as '0' as well, so the last group
  // is the remaining text padded with zeros to four digits, and nothing
  // outside the text is read.
  const int32_t rest = count - whole;
  if (rest != 0) {
    char group[4] = {'0', '0', '0', '0'};
    for (int32_t i = 0; i < rest; ++i) group[i] = text[whole + i];
    sum += GroupValue(group);
  }
  return static_cast<int32_t>((0x10000u - (sum & 0xFFFFu)) & 0xFFFFu);
}

int32_t BuildRequestBody(const BlockRequest& request, char* buffer, FrameKind kind) {
  std::memset(buffer, 0, kFrameBufferSize);
  const TypeRow* row = FindTypeRow(request.address.typeLetter);
  if (row == nullptr) return 1;
  const WriteLayout layout = LayoutFor(request.address);
  if (layout.charsPerElement == 0) return 1;  // no defined transfer
  const uint32_t address = request.address.elementAddress;

  if (kind == ReadFrame) {
    // The count field carries the low 16 bits of elementCount; a read frame
    // is always the same size and takes nothing from the host's array.
    std::memcpy(buffer, "0006", 4);
    std::memcpy(buffer + 4, row->readCode, 4);
    FormatHexField(static_cast<uint32_t>(request.elementCount), 4, buffer + 8);
    FormatHexField(address, 4, buffer + 12);
    return 0;
  }
  if (kind != WriteFrame) return 1;

  // A write sends elementCount words of the host's array. Everything is
  // checked before the first word is read:
  // - a negative count names no words at all, and a count whose frame would
  //   not fit 589 characters cannot be sent (this also covers every count
  //   above 65535, whose low 16 bits would misstate the block);
  // - 32-bit values take two words each, so their count of words must be
  //   even, or the last value would take a word beyond the count.
  const int32_t count = request.elementCount;
  if (count < 0) return 1;
  if (layout.wordsPerElement == 2 && count % 2 != 0) return 1;
  const int64_t dataChars =
      static_cast<int64_t>(count) / layout.wordsPerElement * layout.charsPerElement;
  if (kWriteHeadChars + dataChars > kMaxBodyChars) return 1;
  if (count > 0 && request.data == nullptr) return 1;

  std::memcpy(buffer + 4, row->writeCode, 4);
  FormatHexField(address, 4, buffer + 8);
  char* out = buffer + 12;
  const uint16_t* data = request.data;
  if (layout.wordsPerElement == 2) {
    // Value m is words 2m and 2m+1; the higher word goes first.
    for (int32_t word = 0; word < count; word += 2) {
      FormatHexField(data[word + 1], 4, out);
      FormatHexField(data[word], 4, out + 4);
      out += 8;
    }
  } else {
    // Element k comes from word k+1: word 0 is never sent.
    const int width = layout.charsPerElement;
    for (int32_t k = 0; k < count; ++k) {
      FormatHexField(data[k + 1], width, out);
      out += width;
    }
  }
  // Bytes of data: discretes one each, everything else two per word.
  const int32_t dataBytes = (layout.charsPerElement == 2) ? count : 2 * count;
  FormatHexField(static_cast<uint32_t>(dataBytes + 4), 4, buffer);
  return 0;
}

void AddStationPrefix(const BlockRequest& request, char* buffer) {
  const int32_t textChars = BoundedLength(buffer, static_cast<int32_t>(kFrameBufferSize) - 5);
  std::memmove(buffer + 4, buffer, static_cast<size_t>(textChars));
  buffer[4 + textChars] = '\0';
  buffer[0] = '0';
  buffer[1] = '1';
  // Always two characters, so the body keeps its shape; stations are 1 to
  // 254 and print as two digits anyway.
  FormatHexField(static_cast<uint32_t>(request.address.station), 2, buffer + 2);
}

void WrapFrame(char* buffer) {
  WrapBody(buffer);
}

int32_t ComposeFrame(const BlockRequest* request, char* buffer, FrameKind kind) {
  if (kind == ReadFrame || kind == WriteFrame) {
    if (request == nullptr) return 1;
    if (BuildRequestBody(*request, buffer, kind) != 0) return 1;
    AddStationPrefix(*request, buffer);
  } else if (kind != PlainFrame) {
    return 1;
  }
  // A plain body longer than a frame can carry is refused, untouched.
  return WrapBody(buffer) ? 0 : 1;
}
