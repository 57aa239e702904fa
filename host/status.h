// What the driver's statuses mean, in words, for every host: the driver's
// own, the serial layer's, the controller's primitive errors (0101 to 0108)
// and the adapter's refusal codes. The codes themselves are the public
// header's (ZOR_*).
#pragma once

#include <cstdint>
#include <string>

#include "zortw/zortw.h"

namespace zortw_host {

// Which step returned the status: the meaning of a value depends on it.
enum class Step { GetDriverInfo, ColdStart, Define, Block, Stop, Adapter };

std::string StatusMeaning(int32_t status, Step step);

// A code as the network writes it: four upper-case hex digits (low 16 bits).
std::string Hex4(int32_t value);

// A primitive error code (the controller refused the request) and an
// adapter refusal code (message code 00) as the network documents them;
// "code NNNN (not a documented code)" otherwise.
std::string PrimitiveErrorMeaning(int32_t code);
std::string AdapterRefusalMeaning(int32_t code);

// What to check when a station answers a read with a primitive error
// ("check the station number" for 0101, ...).
std::string PrimitiveErrorAdvice(int32_t code);

// What a silent line means and what to check.
inline constexpr const char* kNoReplyAdvice =
    "no reply: check cable, port, adapter power, line settings (the adapter expects 19200 baud, "
    "7 data bits, odd parity, 1 stop bit by default)";

}  // namespace zortw_host
