// CSV as RFC 4180 writes it: fields separated by commas, quoted with double
// quotes when they hold commas, quotes (doubled) or line breaks; UTF-8 text;
// CRLF or LF line ends. Every field keeps where it began, for errors.
#pragma once

#include <string>
#include <vector>

namespace gateway::csv {

struct Field {
  std::string text;
  int line = 0, column = 0;  // 1-based; column counts characters, not bytes
};
using Row = std::vector<Field>;

struct Error {
  int line = 0, column = 0;
  std::string reason;
};

// The rows of `text` (a leading UTF-8 byte order mark skipped, empty lines
// skipped); false and `error` on a malformed file (a quote inside an
// unquoted field, text after a closing quote, an unclosed quote, bytes that
// are not UTF-8).
bool Parse(const std::string& text, std::vector<Row>& rows, Error& error);

// One field as a row writes it: quoted only when it must be.
std::string Quote(const std::string& field);

}  // namespace gateway::csv
