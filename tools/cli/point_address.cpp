#include "tools/cli/point_address.h"

#include <algorithm>

#include "points/address_rules.h"
#include "tools/cli/numbers.h"

namespace tiway {

namespace {

// A character of address text as the user should see it in a message.
std::string Shown(char c) {
  unsigned char b = static_cast<unsigned char>(c);
  if (b >= 0x21 && b < 0x7F) return std::string("'") + c + "'";
  if (b == ' ') return "a blank";
  return "byte 0x" + Hex(b, 2);
}

// The driver upper-cases every byte from 0x61 up by subtracting 0x20.
char DriverUpper(char c) {
  unsigned char b = static_cast<unsigned char>(c);
  return static_cast<char>(b >= 0x61 ? b - 0x20 : b);
}

// The sentence for a rule the text broke; text is the user's, upper the
// driver's upper-cased copy of it.
std::string Reason(const AddressVerdict& verdict, std::string_view text, const std::string& upper,
                   int32_t hostType, bool block, int32_t elementCount, PointKind kind) {
  const std::string shape =
      "an address is 7 characters, SSTAAAA (station, type letter, element address), "
      "or 8 for a single bit of a V word, SSVAAAAB";
  const std::string found = verdict.position < static_cast<int32_t>(text.size())
                                ? Shown(text[static_cast<size_t>(verdict.position)])
                                : std::string("nothing");
  const std::string hostText = std::to_string(hostType);
  switch (verdict.rule) {
    case AddressRule::Accepted:
      return "";
    case AddressRule::StationDigit:
      return "station (characters 1-2) must be two hexadecimal digits 01..FE; found " + found;
    case AddressRule::TypeLetter:
      return "type letter (character 3) must be V, X, Y, C or F; found " + found;
    case AddressRule::ElementDigit:
      return "element address (characters 4-7) must be four hexadecimal digits 0001..FFFF; "
             "found " +
             found;
    case AddressRule::BitDigit:
      return "bit digit (character 8) must be one hexadecimal digit 0..F; found " + found;
    case AddressRule::Length: {
      if (verdict.length == 0) return "the address text is empty; " + shape;
      const size_t length =
          verdict.length > kMaxAddressTextChars ? text.size() : static_cast<size_t>(verdict.length);
      return "the address text is " + std::to_string(length) + " characters long; " + shape;
    }
    case AddressRule::RefusedHostType:
      return "host data type " + std::to_string(ZOR_HOST_TYPE_REFUSED) + " is always refused";
    case AddressRule::StationRange:
      return "station " + upper.substr(0, 2) + " is outside 01..FE";
    case AddressRule::ElementZero:
      return "element address 0000 is outside 0001..FFFF";
    case AddressRule::DiscreteHostType:
      return "discretes (X, Y, C) need host data type 6; given " + hostText;
    case AddressRule::DiscreteBitDigit:
      return "discretes (X, Y, C) take no bit digit: use 7 characters";
    case AddressRule::FBitDigit:
      return "an F point takes no bit digit: use 7 characters";
    case AddressRule::FOddElement:
      return "an F point needs an even element address (two words per value); given " +
             upper.substr(3, 4);
    case AddressRule::VBitMissing:
      return "with host data type 6 a V point is a single bit: add its bit digit 0..F as the "
             "8th character (e.g. " +
             upper + "0)";
    case AddressRule::VWordHostType:
      return "host data type " + hostText +
             " is not allowed for a V word (0, 1 or 2; 6 for a single bit)";
    case AddressRule::VWordBitDigit:
      return block ? "a block of V words takes no bit digit (a single bit transfers alone, with "
                     "COUNT 1)"
                   : "a V word takes no bit digit (a single bit needs host data type 6)";
    case AddressRule::FOddCount:
      return "a block of F values takes whole values, two words each; " +
             std::to_string(elementCount) + " words is not";
    case AddressRule::BlockTooLarge:
      switch (kind) {
        case PointKind::Discrete:
          return "a block holds at most 124 discretes; COUNT is " + std::to_string(elementCount);
        case PointKind::FValue:
          return "a block holds at most 31 F values (62 words); COUNT is " +
                 std::to_string(elementCount / 2);
        default:
          return "a block holds at most 62 V words; COUNT is " + std::to_string(elementCount);
      }
  }
  return "";
}

}  // namespace

int32_t DefaultHostType(std::string_view text) {
  if (text.size() < 3) return ZOR_HOST_TYPE_WORD;
  char letter = DriverUpper(text[2]);
  if (letter == 'X' || letter == 'Y' || letter == 'C') return ZOR_HOST_TYPE_BIT;
  if (letter == 'V' && text.size() == 8) return ZOR_HOST_TYPE_BIT;
  return ZOR_HOST_TYPE_WORD;
}

Problem CheckAddress(std::string_view text, int32_t hostType, bool block, int32_t elementCount,
                     CheckedPoint& out) {
  const std::string copy(text);  // the driver reads the text up to its NUL
  std::string upper;
  for (char c : copy) upper += DriverUpper(c);
  CheckedPoint point;
  AddressVerdict verdict = JudgeAddress(
      copy.c_str(), hostType, block ? AddressMode::Relaxed : AddressMode::Strict, point.address);
  if (verdict.rule == AddressRule::Accepted) {
    point.kind = KindOf(point.address);
    if (block) verdict.rule = JudgeBlock(point.address, elementCount);
  }
  if (verdict.rule != AddressRule::Accepted) {
    return Reason(verdict, text, upper, hostType, block, elementCount, point.kind);
  }
  out = point;
  return std::nullopt;
}

PointKind KindOf(const ZorPointAddress& address) {
  if (address.typeLetter == 'F') return PointKind::FValue;
  if (address.typeLetter == 'V') {
    return address.bitNumber == ZOR_WHOLE_ELEMENT ? PointKind::VWord : PointKind::VBit;
  }
  return PointKind::Discrete;
}

int32_t DriverElementCount(PointKind kind, int32_t count) {
  return kind == PointKind::FValue ? count * 2 : count;
}

std::string ElementText(const ZorPointAddress& address, int k) {
  const PointKind kind = KindOf(address);
  uint32_t element =
      address.elementAddress + static_cast<uint32_t>(kind == PointKind::FValue ? 2 * k : k);
  std::string text = Hex(static_cast<uint32_t>(address.station), 2) +
                     static_cast<char>(address.typeLetter) + Hex(element & 0xFFFF, 4);
  if (kind == PointKind::VBit) text += Hex(static_cast<uint32_t>(address.bitNumber), 1);
  return text;
}

std::string BitDigitWarning(std::string_view text) {
  if (text.size() != 8) return "";
  const std::string_view digits = text.substr(3);
  if (digits.find_first_not_of("0123456789") != std::string_view::npos || digits[0] == '0') {
    return "";
  }
  const std::string word(text.substr(0, 7));
  return std::string(text) + " is bit " + std::string(1, text[7]) + " of the V word " +
         std::string(text.substr(3, 4)) +
         " (an element address has four hex digits; an 8th character is a bit digit): for "
         "the word write " +
         word;
}

int32_t MaxChunkElements(PointKind kind) {
  switch (kind) {
    case PointKind::VWord:
      return ZOR_MAX_BLOCK_WORDS;
    case PointKind::FValue:
      return ZOR_MAX_BLOCK_WORDS / 2;
    case PointKind::Discrete:
      return ZOR_MAX_BLOCK_DISCRETES;
    default:
      return 1;
  }
}

std::vector<Chunk> SplitRange(const ZorPointAddress& address, int32_t count) {
  std::vector<Chunk> chunks;
  const PointKind kind = KindOf(address);
  const int64_t words = kind == PointKind::FValue ? 2 : 1;
  if (count < 1 || address.elementAddress + words * count - 1 > 0xFFFF) return chunks;
  const int32_t most = MaxChunkElements(kind);
  for (int32_t offset = 0; offset < count; offset += most) {
    chunks.push_back({ElementText(address, offset), offset, std::min(most, count - offset)});
  }
  return chunks;
}

}  // namespace tiway
