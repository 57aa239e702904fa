#include "tools/cli/cli_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "nitp/frame.h"
#include "nitp/reply_verdict.h"
#include "tools/cli/reply_trace.h"

namespace tiway {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool IsUpperHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Reads an upper- or lower-case hex field; -1 when a character is not a digit
// or the field lies beyond the text.
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

bool IsTypeLetter(char c) {
  return c == 'V' || c == 'X' || c == 'Y' || c == 'C' || c == 'F';
}

// Hexadecimal characters that the block's elements occupy in a frame's data
// field, as CheckBlock measures them: two per discrete, four per 16-bit word;
// F blocks are counted in words, as every transfer of them is.
int64_t BlockChars(int32_t bitsPerElement, int32_t elementCount) {
  if (bitsPerElement == 1) return int64_t{elementCount} * 2;
  if (bitsPerElement == 32) return int64_t{elementCount} * 4;
  return int64_t{elementCount} * bitsPerElement / 4;
}

}  // namespace

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

int32_t DefaultHostType(std::string_view text) {
  if (text.size() < 3) return 0;
  char letter = DriverUpper(text[2]);
  if (letter == 'X' || letter == 'Y' || letter == 'C') return 6;
  if (letter == 'V' && text.size() == 8) return 6;
  return 0;
}

AddressCheck CheckAddress(std::string_view text, int32_t hostType, bool block,
                          int32_t elementCount) {
  AddressCheck check;
  auto refuse = [&check](std::string reason) {
    check.ok = false;
    check.reason = std::move(reason);
    return check;
  };
  const std::string shape =
      "an address is 7 characters, SSTAAAA (station, type letter, element address), "
      "or 8 for a single bit of a V word, SSVAAAAB";
  if (text.empty()) return refuse("the address text is empty; " + shape);
  if (text.size() > 32) {
    return refuse("the address text is " + std::to_string(text.size()) + " characters long; " +
                  shape);
  }
  std::string s;
  for (char c : text) s += DriverUpper(c);

  // The syntax test: each position holds a character of its set (checked up
  // to the end of the text), then the length must be 7 or 8.
  for (size_t i = 0; i < s.size() && i < 8; ++i) {
    char c = s[i];
    if (i <= 1 && !IsUpperHex(c)) {
      return refuse("station (characters 1-2) must be two hexadecimal digits 01..FE; found " +
                    Shown(text[i]));
    }
    if (i == 2 && !IsTypeLetter(c)) {
      return refuse("type letter (character 3) must be V, X, Y, C or F; found " + Shown(text[i]));
    }
    if (i >= 3 && i <= 6 && !IsUpperHex(c)) {
      return refuse(
          "element address (characters 4-7) must be four hexadecimal digits 0001..FFFF; found " +
          Shown(text[i]));
    }
    if (i == 7 && !IsUpperHex(c)) {
      return refuse("bit digit (character 8) must be one hexadecimal digit 0..F; found " +
                    Shown(text[i]));
    }
  }
  if (s.size() != 7 && s.size() != 8) {
    return refuse("the address text is " + std::to_string(s.size()) + " characters long; " + shape);
  }
  const bool hasBit = s.size() == 8;

  PointAddress& a = check.address;
  a.bitsPerElement = 16;
  a.station = 0;
  a.bitNumber = kWholeElement;
  if (hostType == 7) return refuse("host data type 7 is always refused");
  a.station = static_cast<int32_t>(HexField(s, 0, 2));
  if (a.station < 1 || a.station > 254) {
    return refuse("station " + s.substr(0, 2) + " is outside 01..FE");
  }
  a.elementAddress = static_cast<uint32_t>(HexField(s, 3, 4));
  if (a.elementAddress == 0) return refuse("element address 0000 is outside 0001..FFFF");
  a.typeLetter = s[2];
  const std::string hostText = std::to_string(hostType);
  switch (s[2]) {
    case 'C':
    case 'X':
    case 'Y':
      if (!block && hostType != 6) {
        return refuse("discretes (X, Y, C) need host data type 6; given " + hostText);
      }
      a.bitsPerElement = 1;
      if (hasBit) return refuse("discretes (X, Y, C) take no bit digit: use 7 characters");
      a.bitNumber = HexDigit(s[6]);
      check.kind = PointKind::Discrete;
      break;
    case 'F':
      if (hasBit) return refuse("an F point takes no bit digit: use 7 characters");
      if (a.elementAddress % 2 != 0) {
        return refuse("an F point needs an even element address (two words per value); given " +
                      s.substr(3, 4));
      }
      a.bitsPerElement = 32;
      check.kind = PointKind::FValue;
      break;
    default:  // 'V'
      if (hostType == 6 && !block) {
        a.bitsPerElement = 1;
        if (!hasBit) {
          return refuse(
              "with host data type 6 a V point is a single bit: add its bit digit 0..F as the "
              "8th character (e.g. " +
              s + "0)");
        }
        a.bitNumber = HexDigit(s[7]);
        check.kind = PointKind::VBit;
        break;
      }
      if (!block && hostType != 0 && hostType != 1 && hostType != 2) {
        return refuse("host data type " + hostText +
                      " is not allowed for a V word (0, 1 or 2; 6 for a single bit)");
      }
      if (hasBit) {
        return refuse(block ? "a block of V words takes no bit digit (a single bit transfers "
                              "alone, with COUNT 1)"
                            : "a V word takes no bit digit (a single bit needs host data type 6)");
      }
      check.kind = PointKind::VWord;
      break;
  }
  if (block && BlockChars(a.bitsPerElement, elementCount) > kMaxBlockChars) {
    switch (check.kind) {
      case PointKind::Discrete:
        return refuse("a block holds at most 124 discretes; COUNT is " +
                      std::to_string(elementCount));
      case PointKind::FValue:
        return refuse("a block holds at most 31 F values (62 words); COUNT is " +
                      std::to_string(elementCount / 2));
      default:
        return refuse("a block holds at most 62 V words; COUNT is " + std::to_string(elementCount));
    }
  }
  check.ok = true;
  return check;
}

PointKind KindOf(const PointAddress& address) {
  if (address.typeLetter == 'F') return PointKind::FValue;
  if (address.typeLetter == 'V') {
    return address.bitNumber == kWholeElement ? PointKind::VWord : PointKind::VBit;
  }
  return PointKind::Discrete;
}

int32_t DriverElementCount(PointKind kind, int32_t count) {
  return kind == PointKind::FValue ? count * 2 : count;
}

std::string ElementText(const PointAddress& address, int k) {
  const PointKind kind = KindOf(address);
  uint32_t element =
      address.elementAddress + static_cast<uint32_t>(kind == PointKind::FValue ? 2 * k : k);
  std::string text = Hex(static_cast<uint32_t>(address.station), 2) +
                     static_cast<char>(address.typeLetter) + Hex(element & 0xFFFF, 4);
  if (kind == PointKind::VBit) text += Hex(static_cast<uint32_t>(address.bitNumber), 1);
  return text;
}

size_t ArrayWords(int32_t elementCount) {
  // Reads of F values use four words per value (two per counted word), block
  // reads of discretes every second word: 2n + 2 covers every layout.
  return elementCount > 0 ? 2 * static_cast<size_t>(elementCount) + 2 : 2;
}

std::vector<uint32_t> ValuesFromReadArray(const PointAddress& address, int32_t elementCount,
                                          const std::vector<uint16_t>& data) {
  std::vector<uint32_t> values;
  if (elementCount <= 0) return values;
  const size_t n = static_cast<size_t>(elementCount);
  switch (KindOf(address)) {
    case PointKind::VWord:
      if (n == 1) {
        values.push_back(data.at(1));
      } else {
        for (size_t k = 0; k < n; ++k) values.push_back(data.at(k));
      }
      break;
    case PointKind::VBit:
      for (size_t k = 0; k < n; ++k) values.push_back(data.at(k + 1));
      break;
    case PointKind::FValue:
      for (size_t j = 0; 2 * j < n; ++j) {
        values.push_back(uint32_t{data.at(4 * j + 1)} << 16 | data.at(4 * j));
      }
      break;
    case PointKind::Discrete:
      for (size_t k = 0; k < n; ++k) values.push_back(data.at(2 * k + 1));
      break;
  }
  return values;
}

std::vector<uint16_t> WriteArrayFromValues(const PointAddress& address,
                                           const std::vector<uint32_t>& values) {
  const PointKind kind = KindOf(address);
  std::vector<uint16_t> data(
      ArrayWords(DriverElementCount(kind, static_cast<int32_t>(values.size()))), 0);
  for (size_t k = 0; k < values.size(); ++k) {
    if (kind == PointKind::FValue) {
      data[2 * k + 1] = static_cast<uint16_t>(values[k] >> 16);
      data[2 * k] = static_cast<uint16_t>(values[k] & 0xFFFF);
    } else {
      data[k + 1] = static_cast<uint16_t>(values[k]);
    }
  }
  return data;
}

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

std::optional<std::string> ParseFValue(std::string_view text, ParsedValue& out,
                                       const ValueRules& rules) {
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

std::optional<std::string> ParseValue(PointKind kind, std::string_view text, ParsedValue& out,
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

std::optional<std::string> ParseValue(PointKind kind, std::string_view text, uint32_t& value) {
  ParsedValue parsed;
  std::optional<std::string> problem = ParseValue(kind, text, parsed, ValueRules{});
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

std::string StatusMeaning(int32_t status, Step step) {
  switch (status) {
    case kStatusNoCommand:
      return "the driver has no command for this code";
    case 0:
      return "success";
    case 1:
      if (step == Step::Define) return "the driver refused the point definition";
      if (step == Step::Block) return "refused: the instance is not active (not ready)";
      break;
    case 2:
      if (step == Step::ColdStart) return "the port could not be opened";
      if (step == Step::Stop) return "the port could not be closed";
      if (step == Step::Block) {
        return "line failure: no good exchange in three attempts (the request did not go out "
               "whole or no complete reply came), or the reply carried message code 00 (the "
               "adapter refused the request)";
      }
      return "line failure: the request did not go out whole, or the reply carried message "
             "code 00 (the adapter refused the request)";
    case kReplyInvalid:
      return "invalid reply: the reply was malformed (no ':', a bad length, no ';' where the "
             "length says) or its checksum did not match (a primitive error code 0xFFFF reads "
             "the same)";
    default:
      break;
  }
  if (step != Step::Block && step != Step::Define) {
    if (status == 7) return kNoReplyAdvice;
    if (status == kReplyIncomplete) {
      return "incomplete reply: bytes arrived but no complete reply (noise before ':', or no "
             "';')";
    }
  }
  if (status > 0 && status < 0x10000) {
    return "primitive error (the controller refused the request), " + PrimitiveErrorMeaning(status);
  }
  return "unexpected status";
}

bool IsDummyPort(std::string_view port) {
#if defined(_WIN32)
  return port.size() == 3 && (port[0] | 0x20) == 'n' && (port[1] | 0x20) == 'u' &&
         (port[2] | 0x20) == 'l';
#else
  return port == "NUL";
#endif
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

int BitsPerCharacter(const LineSettings& line) {
  return 1 + line.dataBits + (line.parity != 0 ? 1 : 0) + (line.stopBits != 0 ? 2 : 1);
}

double LineMs(int64_t chars, const LineSettings& line) {
  if (line.baudRate == 0) return 0;
  return static_cast<double>(chars) * BitsPerCharacter(line) * 1000.0 / line.baudRate;
}

int32_t ReplyChars(std::string_view request) {
  const std::string copy(request);
  ReplyExpectation expected{};
  if (!ExpectationOf(copy.c_str(), &expected)) return 0;
  return 22 + std::max<int32_t>(expected.dataChars, 0);
}

std::string LineTimeAdvice(std::string_view request, const LineSettings& line, double timeoutMs) {
  const size_t end = request.find(';');
  if (end == std::string_view::npos || timeoutMs <= 0) return "";
  const int64_t requestChars = static_cast<int64_t>(end + 1);
  const int32_t replyChars = ReplyChars(request);
  const double ms = LineMs(requestChars + replyChars, line);
  if (ms < 0.5 * timeoutMs) return "";
  // Room for both frames twice over and a second for the controller.
  const int64_t tens = (static_cast<int64_t>(2 * ms + 1000) / 10 + 99) / 100 * 100;
  char text[320];
  std::snprintf(text, sizeof text,
                "the request (%lld characters) and its reply (%d) take %.2f s on the line at %u "
                "baud, %s the reply time-out of %.2f s: if the time-out ended the exchange, "
                "a longer one gives them room: --timeout %lld (tens of ms)",
                static_cast<long long>(requestChars), replyChars, ms / 1000.0,
                static_cast<unsigned>(line.baudRate),
                ms >= timeoutMs ? "longer than" : "a large part of", timeoutMs / 1000.0,
                static_cast<long long>(tens));
  return text;
}

uint16_t Checksum(std::string_view text) {
  const std::string copy(text);
  return static_cast<uint16_t>(FrameChecksum(copy.c_str(), static_cast<int32_t>(copy.size())));
}

namespace {

const char* TypeName(std::string_view code) {
  if (code == "01") return "V";
  if (code == "03") return "X";
  if (code == "04") return "Y";
  if (code == "05") return "C";
  return "?";
}

// The length field and the checksum of a frame, with their verdict; sets
// length to the frame's length field, 0 when there is none.
std::string Envelope(std::string_view frame, size_t& length) {
  length = 0;
  if (frame.empty()) return "";
  if (frame[0] != ':') return "not a frame (no ':' at the start)";
  int64_t l = HexField(frame, 1, 4);
  if (l < 10 || static_cast<size_t>(l) > frame.size() || frame[static_cast<size_t>(l) - 1] != ';') {
    return "malformed: the length field does not lead to a ';'";
  }
  length = static_cast<size_t>(l);
  int64_t received = HexField(frame, length - 5, 4);
  uint16_t expected = Checksum(frame.substr(1, length - 6));
  if (received != expected) {
    return "checksum " + std::string(frame.substr(length - 5, 4)) + " BAD (expected " +
           Hex(expected, 4) + ")";
  }
  return "checksum ok";
}

std::string Split(std::string_view data, int width) {
  std::string out;
  if (width <= 0) return std::string(data);
  for (size_t i = 0; i < data.size(); i += static_cast<size_t>(width)) {
    if (!out.empty()) out += ' ';
    out += data.substr(i, static_cast<size_t>(width));
  }
  return out;
}

}  // namespace

std::string AnnotateRequest(std::string_view frame) {
  size_t length = 0;
  std::string envelope = Envelope(frame, length);
  if (frame.empty()) return "(no request)";
  if (length == 0) return envelope;
  std::string_view body = frame.substr(5, length - 10);
  if (body.size() < 2 || body.substr(0, 2) != "01" || body.size() < 12) {
    return "message " + std::string(body.substr(0, 2)) + ", " + envelope;
  }
  std::string out = "station " + std::string(body.substr(2, 2));
  std::string_view prim = body.substr(8, 2);
  std::string_view type = body.substr(10, 2);
  std::string_view params = body.substr(12);
  if (prim == "20" && params.size() >= 8) {
    out += ", read " + std::string(TypeName(type)) + " (" + std::string(body.substr(8, 4)) +
           "), count " + std::to_string(HexField(params, 0, 4)) + ", address " +
           std::string(params.substr(4, 4));
  } else if (prim == "30" && params.size() >= 4) {
    int width = (type == "03" || type == "04" || type == "05") ? 2 : 4;
    std::string_view data = params.substr(4);
    out += ", write " + std::string(TypeName(type)) + " (" + std::string(body.substr(8, 4)) +
           "), address " + std::string(params.substr(0, 4)) + ", data " +
           (data.empty() ? std::string("(none)") : Split(data, width));
  } else {
    out += ", primitive " + std::string(body.substr(8, 4));
  }
  return out + ", " + envelope;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  auto escape = [&out](unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04X", value);
    out += buffer;
  };
  for (size_t i = 0; i < text.size();) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
      ++i;
    } else if (b == '\n') {
      out += "\\n";
      ++i;
    } else if (b == '\t') {
      out += "\\t";
      ++i;
    } else if (b == '\r') {
      out += "\\r";
      ++i;
    } else if (b < 0x20 || b == 0x7F) {
      escape(b);
      ++i;
    } else if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
    } else {
      // A well-formed UTF-8 sequence passes whole; any other byte is taken
      // as the Latin-1 character of the same value.
      size_t need = (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 9;
      bool valid = need <= 3 && i + need < text.size();
      uint32_t cp = need <= 3 ? b & (0x3F >> need) : 0;
      for (size_t k = 1; valid && k <= need; ++k) {
        unsigned char c = static_cast<unsigned char>(text[i + k]);
        if ((c & 0xC0) != 0x80) valid = false;
        cp = cp << 6 | (c & 0x3F);
      }
      if (valid) {
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        valid = cp >= kMin[need] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
      }
      if (valid) {
        out.append(text.substr(i, need + 1));
        i += need + 1;
      } else {
        escape(b);
        ++i;
      }
    }
  }
  return out + "\"";
}

std::string Cp437ToUtf8(std::string_view text) {
  static constexpr uint16_t kHigh[128] = {
      0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8,
      0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2,
      0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1,
      0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD,
      0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562,
      0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534,
      0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560,
      0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
      0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393,
      0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6,
      0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0,
      0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};
  std::string out;
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
      continue;
    }
    uint32_t cp = kHigh[b - 0x80];
    if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

const char* ParityName(uint16_t parity) {
  static constexpr const char* kNames[] = {"none", "odd", "even", "mark", "space"};
  return parity < 5 ? kNames[parity] : "?";
}

std::optional<uint16_t> ParseStopBits(std::string_view text) {
  if (text == "1") return 0;
  if (text == "1.5") return 1;
  if (text == "2") return 2;
  return std::nullopt;
}

const char* StopBitsName(uint16_t code) {
  static constexpr const char* kNames[] = {"1", "1.5", "2"};
  return code < 3 ? kNames[code] : "?";
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

int32_t MaxChunkElements(PointKind kind) {
  switch (kind) {
    case PointKind::VWord:
      return kMaxBlockWords;
    case PointKind::FValue:
      return kMaxBlockWords / 2;
    case PointKind::Discrete:
      return kMaxBlockDiscretes;
    default:
      return 1;
  }
}

std::vector<Chunk> SplitRange(const PointAddress& address, int32_t count) {
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

std::optional<PointSpec> ParsePointSpec(std::string_view text, std::string& error) {
  PointSpec spec;
  const size_t colon = text.find(':');
  spec.text = std::string(text.substr(0, colon));
  if (colon == std::string_view::npos) return spec;
  std::optional<int64_t> n = ParseNumber(text.substr(colon + 1));
  if (!n || *n < 1 || *n > 65535) {
    error = "the count after ':' in '" + std::string(text) + "' takes 1 to 65535 elements";
    return std::nullopt;
  }
  spec.count = static_cast<int32_t>(*n);
  return spec;
}

std::vector<PointSpec> ParseScanList(std::string_view text, const std::string& file,
                                     std::string& error) {
  std::vector<PointSpec> points;
  size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    line = line.substr(0, line.find('#'));
    std::vector<std::string> words;
    std::string word;
    for (char c : line) {
      if (c == ' ' || c == '\t' || c == '\r') {
        if (!word.empty()) words.push_back(word);
        word.clear();
      } else {
        word += c;
      }
    }
    if (!word.empty()) words.push_back(word);
    if (words.empty()) continue;
    std::string why;
    std::optional<PointSpec> spec = words.size() == 2 && words[0].find(':') == std::string::npos
                                        ? ParsePointSpec(words[0] + ":" + words[1], why)
                                    : words.size() == 1 ? ParsePointSpec(words[0], why)
                                                        : std::nullopt;
    const std::string origin = file + ":" + std::to_string(lineNumber);
    if (!spec) {
      error =
          origin + ": " + (why.empty() ? "one point per line: POINT[:COUNT] or POINT COUNT" : why);
      return {};
    }
    spec->origin = origin;
    points.push_back(*spec);
  }
  return points;
}

std::optional<uint16_t> ParseParity(std::string_view text) {
  for (uint16_t p = 0; p < 5; ++p) {
    if (text == ParityName(p)) return p;
  }
  std::optional<int64_t> number = ParseNumber(text);
  if (number && *number >= 0 && *number <= 4) return static_cast<uint16_t>(*number);
  return std::nullopt;
}

}  // namespace tiway
