// Point address text as tiway meets it: the driver's judgement of it, put in
// the user's words (the rules are libzortw/points/address_rules.h's, the
// very ones DefinePoint and CheckBlock apply), the kinds of point, and the
// splitting of a range into the block transfers the driver takes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/problem.h"
#include "zortw/zortw.h"

namespace tiway {

enum class PointKind { VWord, VBit, FValue, Discrete };

// The point the driver would return for an address text, and its kind.
struct CheckedPoint {
  ZorPointAddress address{};
  PointKind kind = PointKind::VWord;
};

// The host data type the CLI uses when the user gives none: 6 for
// discretes and for a single bit of a V word (an 8-character V text), 0 for
// V words and F values.
int32_t DefaultHostType(std::string_view text);

// Checks text as DefinePoint would (block = false) or as CheckBlock would
// (block = true, with elementCount as the driver receives it); the problem
// names the first rule broken.
Problem CheckAddress(std::string_view text, int32_t hostType, bool block, int32_t elementCount,
                     CheckedPoint& out);

PointKind KindOf(const ZorPointAddress& address);

// The elementCount the driver receives for COUNT elements as the user counts
// them: F values travel as two 16-bit words each, everything else one to one.
int32_t DriverElementCount(PointKind kind, int32_t count);

// The address text of element k of a block starting at address (for F,
// values are two words apart; for a single bit, the bit digit is kept).
std::string ElementText(const ZorPointAddress& address, int k);

// A warning for a single-bit V text that reads like a five-digit element
// (05V10000 is bit 0 of V1000); empty otherwise.
std::string BitDigitWarning(std::string_view text);

// One block transfer of a range: its first element's address text, and its
// place and size in the range, in elements as the user counts them.
struct Chunk {
  std::string text;
  int32_t offset = 0;
  int32_t count = 0;
};

// Elements (as the user counts them) that one block transfer carries at
// most: 62 V words, 31 F values, 124 discretes; a single bit travels alone.
int32_t MaxChunkElements(PointKind kind);

// Splits count elements from address into block transfers of at most
// MaxChunkElements each. Empty when the range runs past element FFFF.
std::vector<Chunk> SplitRange(const ZorPointAddress& address, int32_t count);

}  // namespace tiway
