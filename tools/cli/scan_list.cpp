#include "tools/cli/scan_list.h"

#include "tools/cli/numbers.h"

namespace tiway {

Problem ParsePointSpec(std::string_view text, PointSpec& out) {
  PointSpec spec;
  const size_t colon = text.find(':');
  spec.text = std::string(text.substr(0, colon));
  if (colon != std::string_view::npos) {
    std::optional<int64_t> n = ParseNumber(text.substr(colon + 1));
    if (!n || *n < 1 || *n > 65535) {
      return "the count after ':' in '" + std::string(text) + "' takes 1 to 65535 elements";
    }
    spec.count = static_cast<int32_t>(*n);
  }
  out = spec;
  return std::nullopt;
}

std::vector<ScanLine> ParseScanList(std::string_view text, const std::string& file) {
  std::vector<ScanLine> lines;
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
    ScanLine scanned;
    if (words.size() == 2 && words[0].find(':') == std::string::npos) {
      scanned.problem = ParsePointSpec(words[0] + ":" + words[1], scanned.spec);
    } else if (words.size() == 1) {
      scanned.problem = ParsePointSpec(words[0], scanned.spec);
    } else {
      scanned.spec.text = words[0];
      scanned.problem = "one point per line: POINT[:COUNT] or POINT COUNT";
    }
    scanned.spec.origin = file + ":" + std::to_string(lineNumber);
    lines.push_back(std::move(scanned));
  }
  return lines;
}

}  // namespace tiway
