// The rules of point address text, in the order the driver applies them:
// one judge for DefinePoint and CheckBlock and for every tool that must
// accept and refuse exactly what they do (tiway names the rule broken).
//
// A plain function: no logging, no allocation, nothing sent. The records
// are the public header's, so a host includes this header and links
// zortw_address (libzortw/points/CMakeLists.txt) without the driver's own.
#pragma once

#include <cstdint>

#include "zortw/zortw.h"

// The longest address text that is looked at; a longer one is refused.
inline constexpr int32_t kMaxAddressTextChars = 32;

// How the host data type is judged: DefinePoint's strict mode, or
// CheckBlock's relaxed one (any type but ZOR_HOST_TYPE_REFUSED, every V
// point a whole word).
enum class AddressMode : int32_t { Strict, Relaxed };

// The first rule an address text breaks, in the order the driver judges.
enum class AddressRule : int32_t {
  Accepted = 0,
  StationDigit,      // characters 1-2 are not upper- or lower-case hex digits
  TypeLetter,        // character 3 is none of V, X, Y, C, F
  ElementDigit,      // characters 4-7 are not hex digits
  BitDigit,          // character 8 is not a hex digit
  Length,            // empty, longer than 32 characters, or not 7 or 8 long
  RefusedHostType,   // ZOR_HOST_TYPE_REFUSED never defines a point
  StationRange,      // station 00 or FF
  ElementZero,       // element address 0000
  DiscreteHostType,  // strict: X, Y and C need ZOR_HOST_TYPE_BIT
  DiscreteBitDigit,  // X, Y and C take no bit digit
  FBitDigit,         // F takes no bit digit
  FOddElement,       // F starts at an even element address
  VBitMissing,       // strict, ZOR_HOST_TYPE_BIT: a V bit needs its bit digit
  VWordHostType,     // strict: a V word needs host data type 0, 1 or 2
  VWordBitDigit,     // a V word takes no bit digit
  FOddCount,         // a block of F counts whole values: an even number of words
  BlockTooLarge,     // the block's data exceeds ZOR_MAX_BLOCK_CHARS
};

struct AddressVerdict {
  AddressRule rule = AddressRule::Accepted;
  // The character at fault (0-based) for the four character rules.
  int32_t position = 0;
  // Characters of the text, counting no further than one past the longest
  // text looked at.
  int32_t length = 0;
};

// Judges the NUL-terminated text (null: refused for its length) as the
// point of hostDataType. Bytes from 0x61 up are upper-cased by subtracting
// 0x20; at most kMaxAddressTextChars + 1 bytes are read. Fills address field
// by field as the rules pass, so a refused text leaves it as far as it got:
// bitsPerElement 16, station 0 and a whole-element bitNumber once the syntax
// holds, then the station, element address and type letter.
AddressVerdict JudgeAddress(const char* text, int32_t hostDataType, AddressMode mode,
                            ZorPointAddress& address);

// CheckBlock's bound on a block of elementCount elements (for F, 16-bit
// words) from an address JudgeAddress accepted: FOddCount, BlockTooLarge or
// Accepted.
AddressRule JudgeBlock(const ZorPointAddress& address, int64_t elementCount);
