// The command-line host's pure logic: address text diagnosis, statuses and
// their meanings, placement of values in the host's array, value and frame
// formatting, JSON text and the banner's code page 437 conversion. Nothing
// here touches the driver or the platform, so the tests link it directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/point_records.h"
#include "base/port_settings.h"

namespace tiway {

// ---- numbers -------------------------------------------------------------

// Reads a whole decimal number, a 0x-prefixed hexadecimal one, or (with
// allowNegative) a negative decimal one. Nothing else: no blanks, no suffix.
std::optional<int64_t> ParseNumber(std::string_view text, bool allowNegative = false);

// ---- point address text --------------------------------------------------

enum class PointKind { VWord, VBit, FValue, Discrete };

// The limits that CheckBlock applies: 248 hexadecimal characters of data.
inline constexpr int kMaxBlockChars = 248;
inline constexpr int kMaxBlockWords = 62;
inline constexpr int kMaxBlockDiscretes = 124;

// Result of checking an address text the way the driver's definition does.
struct AddressCheck {
  bool ok = false;
  std::string reason;      // the rule broken, when !ok
  PointAddress address{};  // the point the driver would return, when ok
  PointKind kind = PointKind::VWord;
};

// The host data type the CLI uses when the user gives none: 6 for
// discretes and for a single bit of a V word (an 8-character V text), 0 for
// V words and F values.
int32_t DefaultHostType(std::string_view text);

// Checks text as DefinePoint would (block = false) or as CheckBlock would
// (block = true, with elementCount as the driver receives it). The rules and
// their order are the driver's, so the first rule broken is named.
AddressCheck CheckAddress(std::string_view text, int32_t hostType, bool block,
                          int32_t elementCount);

PointKind KindOf(const PointAddress& address);

// The elementCount the driver receives for COUNT elements as the user counts
// them: F values travel as two 16-bit words each, everything else one to one.
int32_t DriverElementCount(PointKind kind, int32_t count);

// The address text of element k of a block starting at address (for F,
// values are two words apart; for a single bit, the bit digit is kept).
std::string ElementText(const PointAddress& address, int k);

// ---- placement in the host's array ----------------------------------------

// Words the host array needs for a transfer of elementCount (driver count).
size_t ArrayWords(int32_t elementCount);

// The values of a read, element by element, from where the driver stores
// them: V word n=1 in data[1], n>=2 in data[k]; single bit k in data[k+1];
// F value j high word data[4j+1], low word data[4j]; discrete k in data[2k+1].
std::vector<uint32_t> ValuesFromReadArray(const PointAddress& address, int32_t elementCount,
                                          const std::vector<uint16_t>& data);

// Fills the host's array for a write of values, where the driver takes them:
// V word / discrete k from data[k+1]; single bit from data[1]; F value j from
// data[2j+1] (high) and data[2j] (low). The array is sized by ArrayWords.
std::vector<uint16_t> WriteArrayFromValues(const PointAddress& address,
                                           const std::vector<uint32_t>& values);

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
// out or returns the rule broken (with the range where a number is too big).
std::optional<std::string> ParseValue(PointKind kind, std::string_view text, ParsedValue& out,
                                      const ValueRules& rules);
// The same with the default rules.
std::optional<std::string> ParseValue(PointKind kind, std::string_view text, uint32_t& value);

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

// ---- ranges ------------------------------------------------------------------

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
std::vector<Chunk> SplitRange(const PointAddress& address, int32_t count);

// "05V0064:4" or "05V0064" (count 1); nullopt with a reason on a bad count.
struct PointSpec {
  std::string text;
  int32_t count = 1;
  std::string origin;  // "FILE:LINE" for a point of a scan list
};
std::optional<PointSpec> ParsePointSpec(std::string_view text, std::string& error);
// A scan list: one point per line ("05V0064:4" or "05V0064 4"); '#' starts a
// comment. Sets error ("FILE:LINE: what is wrong") on a bad line; each point
// keeps its "FILE:LINE".
std::vector<PointSpec> ParseScanList(std::string_view text, const std::string& file,
                                     std::string& error);

// A warning for a single-bit V text that reads like a five-digit element
// (05V10000 is bit 0 of V1000); empty otherwise.
std::string BitDigitWarning(std::string_view text);

// ---- statuses --------------------------------------------------------------

inline constexpr int32_t kStatusNoCommand = -1;
inline constexpr int32_t kReplyIncomplete = 255;
inline constexpr int32_t kReplyInvalid = 65535;

// Which step returned the status: the meaning of a value depends on it.
enum class Step { GetDriverInfo, ColdStart, Define, Block, Stop, Adapter };

std::string StatusMeaning(int32_t status, Step step);

// Whether a port name is the driver's dummy port, which never answers.
bool IsDummyPort(std::string_view port);

// What a silent line means and what to check.
inline constexpr const char* kNoReplyAdvice =
    "no reply: check cable, port, adapter power, line settings (the adapter expects 19200 baud, "
    "7 data bits, odd parity, 1 stop bit by default)";

// ---- line time ---------------------------------------------------------------

// Bits one character takes on the line: start, data, parity, stop (one and a
// half stop bits count as two).
int BitsPerCharacter(const LineSettings& line);
// Milliseconds that chars characters take on the line.
double LineMs(int64_t chars, const LineSettings& line);
// The characters of the reply a block transfer's request frame asks for; 0
// when the frame is none.
int32_t ReplyChars(std::string_view request);
// When a failed transfer's request and reply take a large part (half or
// more) of the reply time-out on the line: the sentence that says so and
// names --timeout with a value that leaves room; empty otherwise.
std::string LineTimeAdvice(std::string_view request, const LineSettings& line, double timeoutMs);

// ---- frames (for --trace) --------------------------------------------------

// The NITP checksum: two's complement of the 16-bit sum of 4-character hex
// groups, padded with "00" when the count is not a multiple of 4.
uint16_t Checksum(std::string_view text);

// A human-readable annotation of a request frame of a block transfer.
std::string AnnotateRequest(std::string_view frame);

// ---- text --------------------------------------------------------------------

// A JSON string literal, quotes included. Valid UTF-8 passes; control
// characters and bytes that are not UTF-8 become \u escapes.
std::string JsonString(std::string_view text);

// The banner's code page 437 bytes as UTF-8 (ASCII unchanged).
std::string Cp437ToUtf8(std::string_view text);

const char* ParityName(uint16_t parity);
// Stop bits as both tools spell them: "1", "1.5", "2"; the host record's
// code (0 one, 1 one and a half, 2 two), or nullopt.
std::optional<uint16_t> ParseStopBits(std::string_view text);
const char* StopBitsName(uint16_t code);
std::optional<uint16_t> ParseParity(std::string_view text);

}  // namespace tiway
