// Numbers as the user types them, and the hex text tiway shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tiway {

// Reads a whole decimal number, a 0x-prefixed hexadecimal one, or (with
// allowNegative) a negative decimal one. Nothing else: no blanks, no suffix.
std::optional<int64_t> ParseNumber(std::string_view text, bool allowNegative = false);

// The value of one hex digit of either case; -1 for any other character.
int HexDigit(char c);

// Reads an upper- or lower-case hex field; -1 when a character is not a digit
// or the field lies beyond the text.
int64_t HexField(std::string_view text, size_t pos, size_t width);

// value as width upper-case hex digits.
std::string Hex(uint32_t value, int width);

}  // namespace tiway
