#include "host/log_lines.h"

#include "zortw/log_formats.h"

namespace zortw_host {

namespace {

struct Known {
  const char* format;
  LogEvent event;
};

constexpr Known kKnown[] = {
    {log_format::kColdStartOpenFailed, LogEvent::PortOpenFailed},
    {log_format::kColdStartLoaded, LogEvent::Loaded},
    {log_format::kColdStartFailed, LogEvent::AdapterFailed},
    {log_format::kWarmStartFailed, LogEvent::WarmStartFailed},
    {log_format::kWarmStartEnded, LogEvent::WarmStartEnded},
    {log_format::kConfigureFailed, LogEvent::ConfigureFailed},
    {log_format::kReconnectFailed, LogEvent::ReconnectFailed},
    {log_format::kReplyNoColon, LogEvent::ReplyNoColon},
    {log_format::kReplyNoEnd, LogEvent::ReplyNoEnd},
    {log_format::kReplyNotHex, LogEvent::ReplyNotHex},
    {log_format::kReplyBadChecksum, LogEvent::ReplyBadChecksum},
    {log_format::kReplyPrimitiveError, LogEvent::ReplyPrimitiveError},
    {log_format::kReplyForeign, LogEvent::ReplyForeign},
};

int DigitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool MatchFormat(std::string_view format, std::string_view line, std::vector<int64_t>& numbers,
                 std::string& text) {
  numbers.clear();
  text.clear();
  size_t f = 0, l = 0;
  while (f < format.size()) {
    if (format[f] != '%') {
      if (l >= line.size() || line[l] != format[f]) return false;
      ++f, ++l;
      continue;
    }
    ++f;
    while (f < format.size() && format[f] >= '0' && format[f] <= '9') ++f;  // width: any
    if (f >= format.size()) return false;
    const char conversion = format[f++];
    if (conversion == 's') {
      // Up to the next literal text of the format (or the end).
      const size_t next = format.find('%', f);
      const std::string_view literal =
          format.substr(f, next == std::string_view::npos ? next : next - f);
      const size_t end = literal.empty() ? line.size() : line.find(literal, l);
      if (end == std::string_view::npos) return false;
      text.assign(line.substr(l, end - l));
      l = end;
      continue;
    }
    const bool hex = conversion == 'X' || conversion == 'x';
    if (!hex && conversion != 'd') return false;
    bool negative = false;
    if (!hex && l < line.size() && line[l] == '-') negative = true, ++l;
    int64_t value = 0;
    size_t digits = 0;
    for (int d; l < line.size() && digits < 18 && (d = DigitValue(line[l], hex)) >= 0; ++l) {
      value = value * (hex ? 16 : 10) + d;
      ++digits;
    }
    if (digits == 0) return false;
    numbers.push_back(negative ? -value : value);
  }
  return l == line.size();
}

LogLine ParseLogLine(std::string_view line) {
  LogLine parsed;
  std::vector<int64_t> numbers;
  std::string text;
  for (const Known& known : kKnown) {
    if (!MatchFormat(known.format, line, numbers, text) || numbers.empty()) continue;
    parsed.event = known.event;
    parsed.instance = static_cast<int32_t>(numbers[0]);
    if (numbers.size() > 1) parsed.value = numbers[1];
    parsed.text = std::move(text);
    return parsed;
  }
  if (std::optional<int32_t> instance = LineInstance(line)) parsed.instance = *instance;
  return parsed;
}

bool IsReplyRefusal(LogEvent event) {
  switch (event) {
    case LogEvent::ReplyNoColon:
    case LogEvent::ReplyNoEnd:
    case LogEvent::ReplyNotHex:
    case LogEvent::ReplyBadChecksum:
    case LogEvent::ReplyPrimitiveError:
    case LogEvent::ReplyForeign:
      return true;
    default:
      return false;
  }
}

int CountReplyRefusals(const std::vector<std::string>& lines) {
  int count = 0;
  for (const std::string& line : lines) {
    if (IsReplyRefusal(ParseLogLine(line).event)) ++count;
  }
  return count;
}

std::optional<int32_t> AdapterFailure(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    const LogLine parsed = ParseLogLine(line);
    if (parsed.event == LogEvent::AdapterFailed) return static_cast<int32_t>(parsed.value);
  }
  return std::nullopt;
}

std::optional<int32_t> LineInstance(std::string_view line) {
  // Every line starts "ZOR" and the instance in decimal, then ':'.
  if (line.substr(0, 3) != "ZOR") return std::nullopt;
  int64_t value = 0;
  size_t i = 3;
  for (; i < line.size() && i < 14 && line[i] >= '0' && line[i] <= '9'; ++i) {
    value = value * 10 + (line[i] - '0');
  }
  if (i == 3 || i >= line.size() || line[i] != ':') return std::nullopt;
  return static_cast<int32_t>(value);
}

}  // namespace zortw_host
