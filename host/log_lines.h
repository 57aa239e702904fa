// What a host learns from the driver's log lines, read in one place against
// the formats the driver writes with (zortw/log_formats.h): which line it is,
// the instance it names, and its value (a status, a primitive error code, a
// station). Retries are counted by the reply check's refusals.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zortw_host {

enum class LogEvent {
  Unknown,          // not a line of the driver's
  PortOpenFailed,   // text: the port's name
  Loaded,           // start-up complete
  AdapterFailed,    // ColdStart went on without an adapter: value is the status
  WarmStartFailed,  // value: the status
  WarmStartEnded,   // value: the status (0)
  ConfigureFailed,  // value: the status
  ReconnectFailed,  // value: the station
  ReplyNoColon,     // the reply check refused a reply (one line per refused reply)
  ReplyNoEnd,
  ReplyNotHex,
  ReplyBadChecksum,
  ReplyPrimitiveError,  // value: the primitive error code
  ReplyForeign,
};

struct LogLine {
  LogEvent event = LogEvent::Unknown;
  int32_t instance = -1;  // -1 when the line names none
  int64_t value = 0;
  std::string text;
};

// Reads one line.
LogLine ParseLogLine(std::string_view line);

// Whether a line is one of the reply check's refusals.
bool IsReplyRefusal(LogEvent event);

// The reply check's refusals among lines: each is a failed attempt.
int CountReplyRefusals(const std::vector<std::string>& lines);

// The status of a failed adapter configuration that ColdStart logged (it
// returns 0 all the same), or nullopt.
std::optional<int32_t> AdapterFailure(const std::vector<std::string>& lines);

// The instance a line names ("ZOR05: ..." is 5), or nullopt.
std::optional<int32_t> LineInstance(std::string_view line);

// Matches line against a printf-style format of the driver's (%d, %0Nd, %s,
// %0NX): the numbers in order into numbers, the last %s into text. A %s
// takes everything up to the format's next literal text.
bool MatchFormat(std::string_view format, std::string_view line, std::vector<int64_t>& numbers,
                 std::string& text);

}  // namespace zortw_host
