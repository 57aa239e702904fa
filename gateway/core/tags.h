// A tag's value both ways, protocol-neutral: raw words as the controller
// holds them into an engineering value with its quality, and an engineering
// value back into the words to write.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gateway/config/tags.h"

namespace gateway {

// The value's type once converted and scaled: what a subscriber sees.
enum class TagValueType { Boolean, UInt16, Int16, UInt32, Int32, Float, Double };
TagValueType ValueTypeOf(const Tag& tag);

struct TagReading {
  double value = 0;   // exact for every integer type; a float's value widened
  bool good = false;  // false: a BCD word with a digit above 9 (never a wrong number)
};

// `words` in memory order from the tag's element (one, or two for the
// two-word types; discretes 0 or 1).
TagReading Decode(const Tag& tag, const std::vector<uint16_t>& words);

// The words to write, in memory order from the tag's element (a bit tag:
// one word, 0 or 1, for the bit); nullopt and `error` when the value is out
// of eng_low..eng_high (scaled), does not fit the raw type, or is not whole
// where the raw type is.
std::optional<std::vector<uint16_t>> Encode(const Tag& tag, double value, std::string& error);

}  // namespace gateway
