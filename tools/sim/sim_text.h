// NITP text as the simulator sees it: hex fields, the 16-bit frame checksum,
// the frame envelope and the splitting of a byte stream into frames.
//
// This is the simulator's own encoder, written apart from the driver's, so
// that the simulator checks the driver rather than agreeing with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tiway_sim {

// The longest frame either side handles: 589 characters from ":" to ";".
inline constexpr std::size_t kMaxFrameChars = 589;
// ":" + four length digits + four checksum digits + ";".
inline constexpr std::size_t kEnvelopeChars = 10;

// The value of an upper-case hex digit ("0"-"9", "A"-"F"), or -1.
int UpperHexValue(char c);

// value's low bits as exactly width upper-case hex digits, zero-padded.
std::string Hex(uint32_t value, int width);

// Parses text made only of upper-case hex digits (1 to 8 of them).
std::optional<uint32_t> ParseUpperHex(std::string_view text);

// Parses hex digits of either case (1 to 8 of them): for user input.
std::optional<uint32_t> ParseAnyHex(std::string_view text);

// The frame checksum over text: groups of four hex digits added up, the sum's
// two's complement kept to 16 bits. A count that is not a multiple of four is
// padded with "00" and grown by count % 4; digits beyond the padding count as
// "0" (only a malformed frame has an odd count).
uint16_t Checksum(std::string_view text);

// ":" + length + body + checksum + ";" for an upper-case hex body.
std::string EncodeFrame(std::string_view body);

// Why a received frame is refused, in the order the checks run.
enum class FrameError {
  kNone,
  kTooShort,        // fewer than 10 characters, or no room for a message code
  kNotHex,          // a character between ":" and ";" that is not an upper-case hex digit
  kLengthMismatch,  // the length field disagrees with the characters received
  kChecksum,        // the checksum field disagrees with the text
  kTooLong,         // more than 589 characters without a ";"
};
const char* FrameErrorName(FrameError error);

// Checks a whole frame text (":" ... ";") and gives its body.
FrameError ParseFrame(std::string_view frame, std::string& body);

// One frame cut out of the byte stream.
struct Incoming {
  std::string text;  // from ":" to ";" (or the first 589 characters when too long)
  bool tooLong = false;
};

// Splits a byte stream into frames: bytes outside a frame are skipped, a ":"
// inside a frame starts the frame again (the earlier text was noise), and a
// frame that reaches 589 characters without ";" is given up.
class Framer {
 public:
  std::vector<Incoming> Feed(std::string_view bytes);
  std::size_t SkippedBytes() const { return skipped_; }

 private:
  std::string current_;
  bool inFrame_ = false;
  bool discarding_ = false;  // after a too-long frame, until its ";"
  std::size_t skipped_ = 0;
};

}  // namespace tiway_sim
