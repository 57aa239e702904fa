// Point address text and point definition.
//
// An address text is two hex digits of station, a type letter, four hex
// digits of element address and, for a single bit of a "V" word, one hex
// digit of bit number: 01V0010, 02X001F, 01V0001A. DefinePoint checks it
// against the host's data type for the point; CheckBlock runs the same
// definition in a relaxed mode for block points and then bounds the block.
#include "points/define_point.h"

#include <cstring>

#include "base/point_records.h"
#include "nitp/frame.h"
#include "points/connect_secondary.h"

namespace {

constexpr size_t kScratchChars = 32;                // longest text that is looked at
constexpr int32_t kRefusedType = kHostTypeRefused;  // never defines a point
constexpr int32_t kBitType = kHostTypeBit;          // single bits of "V" words; discretes

enum class Mode { Strict, Relaxed };

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Whether the upper-cased character c may stand at position of the text.
// "F" points are definable: their values are pairs of "V" words.
bool AcceptedAt(size_t position, char c) {
  if (c == '\0') return true;
  if (position == 2) return c == 'V' || c == 'X' || c == 'Y' || c == 'C' || c == 'F';
  return IsHexDigit(c);
}

// Copies the host's text into the cleared scratch, every byte from 0x61 up
// lowered by 0x20. An empty text, or one longer than the scratch, leaves the
// scratch empty. At most kScratchChars + 1 bytes of the host's text are read.
void CopyUpperCased(const char* text, char (&scratch)[kScratchChars + 1]) {
  std::memset(scratch, 0, sizeof scratch);
  if (text == nullptr) return;
  size_t length = 0;
  while (length <= kScratchChars && text[length] != '\0') ++length;
  if (length == 0 || length > kScratchChars) return;
  for (size_t i = 0; i < length; ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x61) byte = static_cast<unsigned char>(byte - 0x20);
    scratch[i] = static_cast<char>(byte);
  }
}

// Two hex digits, a type letter, four hex digits, an optional hex digit.
bool SyntaxAccepted(const char (&scratch)[kScratchChars + 1]) {
  for (size_t position = 0; position < 8; ++position) {
    if (!AcceptedAt(position, scratch[position])) return false;
  }
  size_t length = std::strlen(scratch);
  return length == 7 || length == 8;
}

bool IsWordType(int32_t hostDataType) {
  return hostDataType >= kHostTypeWord && hostDataType <= kHostTypeWordLast;
}

// The definition shared by both commands: 0 with address filled in, or 1.
int32_t Define(ZorRequest* request, PointDefinition* definition, Mode mode) {
  char scratch[kScratchChars + 1];
  CopyUpperCased(definition->addressText, scratch);
  if (!SyntaxAccepted(scratch)) return 1;
  const bool hasBitDigit = std::strlen(scratch) == 8;
  const bool relaxed = mode == Mode::Relaxed;
  const int32_t hostDataType = definition->hostDataType;

  PointAddress& address = definition->address;
  address.bitsPerElement = 16;
  address.station = 0;
  address.bitNumber = kWholeElement;

  if (hostDataType == kRefusedType) return 1;

  address.station = DecodeHex(scratch, 2);
  if (address.station < 1 || address.station > 254) return 1;
  address.elementAddress = static_cast<uint32_t>(DecodeHex(scratch + 3, 4));
  if (address.elementAddress == 0) return 1;
  address.typeLetter = scratch[2];

  switch (scratch[2]) {
    case 'C':
    case 'X':
    case 'Y':
      if (!relaxed && hostDataType != kBitType) return 1;
      address.bitsPerElement = 1;
      if (hasBitDigit) return 1;
      address.bitNumber = DecodeHex(scratch + 6, 1);
      break;
    case 'F':
      // A 32-bit value: two consecutive words from an even word address.
      if (hasBitDigit) return 1;
      if (address.elementAddress % 2 != 0) return 1;
      address.bitsPerElement = 32;
      break;
    default:  // 'V'
      if (hostDataType == kBitType && !relaxed) {
        address.bitsPerElement = 1;
        if (!hasBitDigit) return 1;
        address.bitNumber = DecodeHex(scratch + 7, 1);
      } else {
        if (!relaxed && !IsWordType(hostDataType)) return 1;
        if (hasBitDigit) return 1;
      }
      break;
  }

  // The first point on a station connects it. The mark stays whatever the
  // connection gives: WarmStart reconnects every marked station that the
  // adapter does not list.
  uint8_t* entry = &request->context->stations[address.station];
  if (*entry == 0) {
    *entry = 1;
    ConnectSecondary(request, static_cast<uint8_t>(address.station));
  }
  return 0;
}

}  // namespace

int32_t DefinePoint(ZorRequest* request) {
  return Define(request, static_cast<PointDefinition*>(request->params), Mode::Strict);
}

int32_t CheckBlock(ZorRequest* request) {
  auto* definition = static_cast<PointDefinition*>(request->params);
  if (Define(request, definition, Mode::Relaxed) != 0) return 1;

  // The block's size in hex characters of a frame's data field: two per
  // discrete, four per 16-bit word. "F" blocks are counted in words like
  // every transfer of them, so they measure four characters per word too.
  const int64_t count = definition->elementCount;
  const int32_t bits = definition->address.bitsPerElement;
  // "F" blocks are whole 32-bit values, two words each: an odd count of
  // words is refused here as every transfer of it would be.
  if (definition->address.typeLetter == 'F' && count % 2 != 0) return 1;
  int64_t size = 0;
  if (bits == 1) {
    size = count * 2;
  } else if (bits == 32) {
    size = count * 4;
  } else {
    size = count * bits / 4;
  }
  return size > kMaxBlockChars ? 1 : 0;
}
