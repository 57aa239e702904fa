#include "tools/cli/port_line.h"

#include <algorithm>
#include <cstdio>

#include "nitp/reply_verdict.h"
#include "tools/cli/numbers.h"
#include "zortw/line_time.h"

namespace tiway {

bool IsDummyPort(std::string_view port) {
#if defined(_WIN32)
  return port.size() == 3 && (port[0] | 0x20) == 'n' && (port[1] | 0x20) == 'u' &&
         (port[2] | 0x20) == 'l';
#else
  return port == "NUL";
#endif
}

double LineMs(int64_t chars, const ZorLineSettings& line) {
  if (line.baudRate == 0) return 0;
  return static_cast<double>(chars) * LineCharacterBits(line) * 1000.0 / line.baudRate;
}

int32_t ReplyChars(std::string_view request) {
  const std::string copy(request);
  ReplyExpectation expected{};
  if (!ExpectationOf(copy.c_str(), &expected)) return 0;
  return 22 + std::max<int32_t>(expected.dataChars, 0);
}

namespace {

// A --timeout (tens of ms, in whole seconds) with room for frames that take
// ms on the line: both frames twice over and a second for the controller.
int64_t RoomTens(double ms) {
  return (static_cast<int64_t>(2 * ms + 1000) / 10 + 99) / 100 * 100;
}

}  // namespace

std::string LineTimeAdvice(std::string_view request, const ZorLineSettings& line,
                           double timeoutMs) {
  const size_t end = request.find(';');
  if (end == std::string_view::npos || timeoutMs <= 0) return "";
  const int64_t requestChars = static_cast<int64_t>(end + 1);
  const int32_t replyChars = ReplyChars(request);
  const double ms = LineMs(requestChars + replyChars, line);
  if (ms < 0.5 * timeoutMs) return "";
  const int64_t tens = RoomTens(ms);
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

std::optional<uint16_t> ParseParity(std::string_view text) {
  for (uint16_t p = 0; p < 5; ++p) {
    if (text == ParityName(p)) return p;
  }
  std::optional<int64_t> number = ParseNumber(text);
  if (number && *number >= 0 && *number <= 4) return static_cast<uint16_t>(*number);
  return std::nullopt;
}

std::string SlowLineAdvice(std::string_view request, const ZorLineSettings& line, double timeoutMs,
                           double elapsedMs) {
  const size_t end = request.find(';');
  if (end == std::string_view::npos || timeoutMs <= 0 || elapsedMs < 0.9 * timeoutMs) return "";
  const int64_t chars = static_cast<int64_t>(end + 1) + ReplyChars(request);
  // The rates below --baud at which the frames outlast the time-out: the
  // fastest of them, and the slowest one the advice makes room for.
  static constexpr uint16_t kSlower[] = {9600, 4800, 2400, 1200, 600, 300};
  ZorLineSettings fastest = line, floor = line;
  fastest.baudRate = 0;
  for (uint16_t rate : kSlower) {
    ZorLineSettings slower = line;
    slower.baudRate = rate;
    if (rate >= line.baudRate || LineMs(chars, slower) < timeoutMs) continue;
    if (fastest.baudRate == 0) fastest = slower;
    floor = slower;
    if (rate <= 1200) break;
  }
  if (fastest.baudRate == 0) return "";
  char text[480];
  std::snprintf(text, sizeof text,
                "the exchange lasted %.2f s, though its request (%lld characters) and reply (%d) "
                "take %.2f s at %u baud: a reply that late fits a slower line, %u baud or less "
                "(%.2f s at %u, %.2f s at %u): give the line's rate with --baud, and room with "
                "--timeout (--timeout %lld leaves room down to %u baud)",
                elapsedMs / 1000.0, static_cast<long long>(end + 1), ReplyChars(request),
                LineMs(chars, line) / 1000.0, static_cast<unsigned>(line.baudRate),
                static_cast<unsigned>(fastest.baudRate), LineMs(chars, fastest) / 1000.0,
                static_cast<unsigned>(fastest.baudRate), LineMs(chars, floor) / 1000.0,
                static_cast<unsigned>(floor.baudRate),
                static_cast<long long>(RoomTens(LineMs(chars, floor))),
                static_cast<unsigned>(floor.baudRate));
  return text;
}

}  // namespace tiway
