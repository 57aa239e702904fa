// Values as the user types them for a write and as tiway shows them: words,
// bits and discretes, and F values (IEEE 754 single-precision floats).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tools/cli/point_address.h"
#include "tools/cli/problem.h"

namespace tiway {

// How values to write are read. An F value is the number typed (10 writes
// 10.0), its bits only when given in hex (0x41200000) or with rawBits.
struct ValueRules {
  bool rawBits = false;         // F: whole numbers are the 32 bits themselves
  bool allowNonFinite = false;  // F: nan, inf and -inf are taken
};
struct ParsedValue {
  uint32_t bits = 0;     // what goes into the host's array
  bool rawBits = false;  // F: the text gave the bits, not a number
  std::string note;      // F: the value was rounded to the nearest float
};

// Checks one value given on the command line for the point's kind; fills
// out or names the rule broken (with the range where a number is too big).
Problem ParseValue(PointKind kind, std::string_view text, ParsedValue& out,
                   const ValueRules& rules);
// The same with the default rules.
Problem ParseValue(PointKind kind, std::string_view text, uint32_t& value);

// "42  0x002A" and friends: decimal and hex for words and F values, 0/1 for
// bits and discretes.
std::string FormatValue(PointKind kind, uint32_t value);
std::string HexValue(PointKind kind, uint32_t value);

// How values are shown: Default is decimal and hex for words, the IEEE 754
// float and its hex for F values; Float, Int, Hex and Bin show one view.
enum class ValueFormat { Default, Float, Int, Hex, Bin };
std::optional<ValueFormat> ParseValueFormat(std::string_view text);
std::string FormatValueAs(PointKind kind, uint32_t value, ValueFormat format);
// The 32 bits of an F value read as an IEEE 754 single-precision float.
double FloatOf(uint32_t bits);

}  // namespace tiway
