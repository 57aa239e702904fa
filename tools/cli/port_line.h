// The port and its line: the driver's dummy port, the names of the line
// settings as both tools spell them, and the time frames take on the line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "zortw/zortw.h"

namespace tiway {

// Whether a port name is the driver's dummy port, which never answers.
bool IsDummyPort(std::string_view port);

const char* ParityName(uint16_t parity);
std::optional<uint16_t> ParseParity(std::string_view text);
// Stop bits as both tools spell them: "1", "1.5", "2"; the host record's
// code (0 one, 1 one and a half, 2 two), or nullopt.
std::optional<uint16_t> ParseStopBits(std::string_view text);
const char* StopBitsName(uint16_t code);

// Milliseconds that chars characters take on the line.
double LineMs(int64_t chars, const ZorLineSettings& line);
// The characters of the reply a block transfer's request frame asks for; 0
// when the frame is none.
int32_t ReplyChars(std::string_view request);
// When a failed transfer's request and reply take a large part (half or
// more) of the reply time-out on the line: the sentence that says so and
// names --timeout with a value that leaves room; empty otherwise.
std::string LineTimeAdvice(std::string_view request, const ZorLineSettings& line, double timeoutMs);

// When a failed transfer whose frames fit the time-out at the line's rate
// (no LineTimeAdvice) still lasted a whole time-out or more (elapsedMs) and
// kept no complete reply: the sentence that says the timing fits a line
// slower than --baud, naming --baud and a --timeout with room; empty when
// no slower rate explains it.
std::string SlowLineAdvice(std::string_view request, const ZorLineSettings& line, double timeoutMs,
                           double elapsedMs);

}  // namespace tiway
