#include "tools/cli/numbers.h"

#include <cstdio>
#include <limits>

namespace tiway {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int64_t HexField(std::string_view text, size_t pos, size_t width) {
  if (pos + width > text.size()) return -1;
  int64_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    int d = HexDigit(text[pos + i]);
    if (d < 0) return -1;
    value = value * 16 + d;
  }
  return value;
}

std::string Hex(uint32_t value, int width) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*X", width, value);
  return buffer;
}

std::optional<int64_t> ParseNumber(std::string_view text, bool allowNegative) {
  bool negative = false;
  if (allowNegative && !text.empty() && text[0] == '-') {
    negative = true;
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (negative) return std::nullopt;
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    int d = HexDigit(c);
    if (d < 0 || d >= base) return std::nullopt;
    if (value > (std::numeric_limits<int64_t>::max() - d) / base) return std::nullopt;
    value = value * base + d;
  }
  return negative ? -value : value;
}

}  // namespace tiway
