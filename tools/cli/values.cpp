#include "tools/cli/values.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "tools/cli/numbers.h"

namespace tiway {

namespace {

// Plain decimal number text: [+-]digits[.digits][e[+-]digits] (at least one
// digit before or after the point). strtod alone would take more: blanks,
// hexadecimal floats, "infinity", "nan(...)".
bool IsDecimalText(std::string_view text) {
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++exponent;
    if (exponent == 0) return false;
  }
  return i == text.size();
}

bool IsWholeText(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return out;
}

uint32_t BitsOf(float f) {
  uint32_t bits = 0;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

constexpr const char* kFloatRange =
    "a 32-bit float holds magnitudes up to 3.40282347e+38 and down to 1.40129846e-45 (and 0)";

Problem ParseFValue(std::string_view text, ParsedValue& out, const ValueRules& rules) {
  const std::string given = "given '" + std::string(text) + "'";
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (hex || rules.rawBits) {
    // The 32 bits themselves.
    std::optional<int64_t> number = ParseNumber(text, !hex);
    if (!number || *number < std::numeric_limits<int32_t>::min() || *number > 0xFFFFFFFFll) {
      return hex ? "raw bits of an F value take 0x0..0xFFFFFFFF (eight hex digits at most); " +
                       given
                 : "with --raw-bits an F value is its 32 bits as a whole number: "
                   "0..4294967295, -2147483648..-1 or 0x0..0xFFFFFFFF; " +
                       given;
    }
    out.bits = static_cast<uint32_t>(*number);
    out.rawBits = true;
    return std::nullopt;
  }
  std::string word = Lower(text);
  const bool negative = !word.empty() && word[0] == '-';
  if (!word.empty() && (word[0] == '-' || word[0] == '+')) word.erase(0, 1);
  if (word == "nan" || word == "inf" || word == "infinity") {
    if (!rules.allowNonFinite) {
      return std::string(word == "nan" ? "NaN" : "infinity") +
             " is written only when asked for: add --allow-nan-inf (or give the bits, "
             "e.g. 0x7FC00000 for NaN, 0x7F800000 for infinity)";
    }
    out.bits = (word == "nan" ? 0x7FC00000u : 0x7F800000u) | (negative ? 0x80000000u : 0u);
    return std::nullopt;
  }
  if (!IsDecimalText(text)) {
    return "an F value takes a number (10, -1, 1.5, -2e3) or its 32 bits in hex (0x41200000); " +
           given;
  }
  const std::string copy(text);
  const float f = std::strtof(copy.c_str(), nullptr);
  const double d = std::strtod(copy.c_str(), nullptr);
  if (std::isinf(f) || std::isinf(d)) {
    return std::string(text) + " does not fit a 32-bit float: " + kFloatRange;
  }
  if (f == 0.0f && d != 0.0) {
    return std::string(text) + " is too small for a 32-bit float: " + kFloatRange;
  }
  out.bits = BitsOf(f);
  if (IsWholeText(text) && static_cast<double>(f) != d) {
    char shown[48];
    std::snprintf(shown, sizeof shown, "%.9g", static_cast<double>(f));
    out.note = std::string(text) + " is not exactly a 32-bit float: written as " + shown;
  }
  return std::nullopt;
}

}  // namespace

Problem ParseValue(PointKind kind, std::string_view text, ParsedValue& out,
                   const ValueRules& rules) {
  out = ParsedValue{};
  if (kind == PointKind::FValue) return ParseFValue(text, out, rules);
  std::optional<int64_t> number = ParseNumber(text, true);
  const std::string given = "given '" + std::string(text) + "'";
  if (kind == PointKind::VWord) {
    if (!number || *number < -32768 || *number > 0xFFFF) {
      return "a V word takes a whole number 0..65535, -32768..-1 or 0x0000..0xFFFF; " + given;
    }
    out.bits = static_cast<uint32_t>(*number) & 0xFFFF;
    return std::nullopt;
  }
  if (!number || (*number != 0 && *number != 1)) return "a bit takes 0 or 1; " + given;
  out.bits = static_cast<uint32_t>(*number);
  return std::nullopt;
}

Problem ParseValue(PointKind kind, std::string_view text, uint32_t& value) {
  ParsedValue parsed;
  Problem problem = ParseValue(kind, text, parsed, ValueRules{});
  if (!problem) value = parsed.bits;
  return problem;
}

std::string HexValue(PointKind kind, uint32_t value) {
  return "0x" + Hex(value, kind == PointKind::FValue ? 8 : 4);
}

std::string FormatValue(PointKind kind, uint32_t value) {
  switch (kind) {
    case PointKind::VWord: {
      std::string text = std::to_string(value) + "  " + HexValue(kind, value);
      if (value >= 0x8000) text += "  (" + std::to_string(static_cast<int16_t>(value)) + ")";
      return text;
    }
    case PointKind::FValue: {
      std::string text = std::to_string(value) + "  " + HexValue(kind, value);
      if (value >= 0x80000000u) text += "  (" + std::to_string(static_cast<int32_t>(value)) + ")";
      return text;
    }
    default:
      return std::to_string(value);
  }
}

std::optional<ValueFormat> ParseValueFormat(std::string_view text) {
  if (text == "float") return ValueFormat::Float;
  if (text == "int") return ValueFormat::Int;
  if (text == "hex") return ValueFormat::Hex;
  if (text == "bin") return ValueFormat::Bin;
  return std::nullopt;
}

double FloatOf(uint32_t bits) {
  float f = 0;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

std::string FormatValueAs(PointKind kind, uint32_t value, ValueFormat format) {
  auto floatText = [value] {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", FloatOf(value));
    return std::string(text);
  };
  auto binText = [kind, value] {
    const int bits = kind == PointKind::FValue ? 32 : 16;
    std::string text;
    for (int b = bits - 1; b >= 0; --b) {
      text += (value >> b & 1) ? '1' : '0';
      if (b % 4 == 0 && b != 0) text += ' ';
    }
    return text;
  };
  if (kind == PointKind::VBit || kind == PointKind::Discrete) return std::to_string(value);
  switch (format) {
    case ValueFormat::Float:
      return kind == PointKind::FValue ? floatText() : FormatValue(kind, value);
    case ValueFormat::Int:
      return kind == PointKind::FValue ? std::to_string(static_cast<int32_t>(value))
                                       : std::to_string(static_cast<int16_t>(value));
    case ValueFormat::Hex:
      return HexValue(kind, value);
    case ValueFormat::Bin:
      return binText();
    default:
      return kind == PointKind::FValue ? floatText() + "  " + HexValue(kind, value)
                                       : FormatValue(kind, value);
  }
}

}  // namespace tiway
