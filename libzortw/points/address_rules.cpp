#include "points/address_rules.h"

#include <cstring>

#include "nitp/frame.h"

namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool IsTypeLetter(char c) {
  return c == 'V' || c == 'X' || c == 'Y' || c == 'C' || c == 'F';
}

// Copies the text into the cleared scratch, every byte from 0x61 up lowered
// by 0x20; returns its length (kMaxAddressTextChars + 1 when longer). An
// empty text, or one longer than the scratch, leaves the scratch empty.
int32_t CopyUpperCased(const char* text, char (&scratch)[kMaxAddressTextChars + 1]) {
  std::memset(scratch, 0, sizeof scratch);
  if (text == nullptr) return 0;
  int32_t length = 0;
  while (length <= kMaxAddressTextChars && text[length] != '\0') ++length;
  if (length == 0 || length > kMaxAddressTextChars) return length;
  for (int32_t i = 0; i < length; ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x61) byte = static_cast<unsigned char>(byte - 0x20);
    scratch[i] = static_cast<char>(byte);
  }
  return length;
}

// The rule a character breaks at its position; Accepted for the NUL that
// ends a short text.
AddressRule CharacterRule(int32_t position, char c) {
  if (c == '\0') return AddressRule::Accepted;
  if (position <= 1) return IsHexDigit(c) ? AddressRule::Accepted : AddressRule::StationDigit;
  if (position == 2) return IsTypeLetter(c) ? AddressRule::Accepted : AddressRule::TypeLetter;
  if (position <= 6) return IsHexDigit(c) ? AddressRule::Accepted : AddressRule::ElementDigit;
  return IsHexDigit(c) ? AddressRule::Accepted : AddressRule::BitDigit;
}

bool IsWordType(int32_t hostDataType) {
  return hostDataType >= ZOR_HOST_TYPE_WORD && hostDataType <= ZOR_HOST_TYPE_WORD_LAST;
}

}  // namespace

AddressVerdict JudgeAddress(const char* text, int32_t hostDataType, AddressMode mode,
                            ZorPointAddress& address) {
  AddressVerdict verdict;
  char scratch[kMaxAddressTextChars + 1];
  verdict.length = CopyUpperCased(text, scratch);
  auto refuse = [&verdict](AddressRule rule) {
    verdict.rule = rule;
    return verdict;
  };
  // Two hex digits, a type letter, four hex digits, an optional hex digit.
  for (int32_t position = 0; position < 8; ++position) {
    const AddressRule rule = CharacterRule(position, scratch[position]);
    if (rule != AddressRule::Accepted) {
      verdict.position = position;
      return refuse(rule);
    }
  }
  if (verdict.length != 7 && verdict.length != 8) return refuse(AddressRule::Length);
  const bool hasBitDigit = verdict.length == 8;
  const bool relaxed = mode == AddressMode::Relaxed;

  address.bitsPerElement = 16;
  address.station = 0;
  address.bitNumber = ZOR_WHOLE_ELEMENT;
  if (hostDataType == ZOR_HOST_TYPE_REFUSED) return refuse(AddressRule::RefusedHostType);

  address.station = DecodeHex(scratch, 2);
  if (address.station < 1 || address.station > 254) return refuse(AddressRule::StationRange);
  address.elementAddress = static_cast<uint32_t>(DecodeHex(scratch + 3, 4));
  if (address.elementAddress == 0) return refuse(AddressRule::ElementZero);
  address.typeLetter = scratch[2];

  switch (scratch[2]) {
    case 'C':
    case 'X':
    case 'Y':
      if (!relaxed && hostDataType != ZOR_HOST_TYPE_BIT) {
        return refuse(AddressRule::DiscreteHostType);
      }
      address.bitsPerElement = 1;
      if (hasBitDigit) return refuse(AddressRule::DiscreteBitDigit);
      // A discrete's bit number is the last digit of its element address.
      address.bitNumber = DecodeHex(scratch + 6, 1);
      break;
    case 'F':
      // A 32-bit value: two consecutive words from an even word address.
      if (hasBitDigit) return refuse(AddressRule::FBitDigit);
      if (address.elementAddress % 2 != 0) return refuse(AddressRule::FOddElement);
      address.bitsPerElement = 32;
      break;
    default:  // 'V'
      if (hostDataType == ZOR_HOST_TYPE_BIT && !relaxed) {
        address.bitsPerElement = 1;
        if (!hasBitDigit) return refuse(AddressRule::VBitMissing);
        address.bitNumber = DecodeHex(scratch + 7, 1);
      } else {
        if (!relaxed && !IsWordType(hostDataType)) return refuse(AddressRule::VWordHostType);
        if (hasBitDigit) return refuse(AddressRule::VWordBitDigit);
      }
      break;
  }
  return verdict;
}

AddressRule JudgeBlock(const ZorPointAddress& address, int64_t elementCount) {
  // "F" blocks are whole 32-bit values, two words each: an odd count of
  // words is refused here as every transfer of it would be.
  if (address.typeLetter == 'F' && elementCount % 2 != 0) return AddressRule::FOddCount;
  // The block's size in hex characters of a frame's data field: two per
  // discrete, four per 16-bit word. "F" blocks are counted in words like
  // every transfer of them, so they measure four characters per word too.
  const int32_t bits = address.bitsPerElement;
  int64_t size = 0;
  if (bits == 1) {
    size = elementCount * 2;
  } else if (bits == 32) {
    size = elementCount * 4;
  } else {
    size = elementCount * bits / 4;
  }
  return size > ZOR_MAX_BLOCK_CHARS ? AddressRule::BlockTooLarge : AddressRule::Accepted;
}
