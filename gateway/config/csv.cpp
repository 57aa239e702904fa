#include "gateway/config/csv.h"

namespace gateway::csv {

namespace {

// The length of the UTF-8 sequence at `at`, or 0 when it is not one.
size_t Utf8Length(const std::string& s, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b = byte(at);
  size_t n = b < 0x80             ? 1
             : (b & 0xE0) == 0xC0 ? 2
             : (b & 0xF0) == 0xE0 ? 3
             : (b & 0xF8) == 0xF0 ? 4
                                  : 0;
  if (n == 0 || at + n > s.size()) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  if (n == 2 && b < 0xC2) return 0;  // overlong
  if (n == 3) {
    const unsigned char c = byte(at + 1);
    if ((b == 0xE0 && c < 0xA0) || (b == 0xED && c >= 0xA0)) return 0;  // overlong, surrogate
  }
  if (n == 4) {
    const unsigned char c = byte(at + 1);
    if ((b == 0xF0 && c < 0x90) || b > 0xF4 || (b == 0xF4 && c >= 0x90)) return 0;
  }
  return n;
}

}  // namespace

bool Parse(const std::string& text, std::vector<Row>& rows, Error& error) {
  rows.clear();
  size_t i = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  int line = 1, column = 1;
  Row row;
  const auto fail = [&](const std::string& reason) {
    error = Error{line, column, reason};
    return false;
  };
  const auto endRow = [&] {
    if (!(row.size() == 1 && row[0].text.empty())) rows.push_back(std::move(row));
    row.clear();
  };
  while (i < text.size()) {
    Field field{"", line, column};
    if (text[i] == '"') {
      ++i;
      ++column;
      for (;;) {
        if (i >= text.size()) {
          error = Error{field.line, field.column, "the quoted field is not closed"};
          return false;
        }
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            field.text += '"';
            i += 2;
            column += 2;
            continue;
          }
          ++i;
          ++column;
          break;
        }
        if (text[i] == '\n') {
          field.text += '\n';
          ++i;
          ++line;
          column = 1;
          continue;
        }
        const size_t n = Utf8Length(text, i);
        if (n == 0) return fail("bytes that are not UTF-8");
        field.text.append(text, i, n);
        i += n;
        ++column;
      }
      if (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
        return fail("text after the closing quote (write a quote inside a field as \"\")");
      }
    } else {
      while (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
        if (text[i] == '"') return fail("a quote inside an unquoted field (quote the whole field)");
        const size_t n = Utf8Length(text, i);
        if (n == 0) return fail("bytes that are not UTF-8");
        field.text.append(text, i, n);
        i += n;
        ++column;
      }
    }
    row.push_back(std::move(field));
    if (i >= text.size()) break;
    if (text[i] == ',') {
      ++i;
      ++column;
      if (i == text.size()) row.push_back(Field{"", line, column});
      continue;
    }
    if (text[i] == '\r') {
      if (i + 1 >= text.size() || text[i + 1] != '\n')
        return fail("a carriage return without a line feed");
      ++i;
    }
    ++i;  // '\n'
    endRow();
    ++line;
    column = 1;
  }
  if (!row.empty()) endRow();
  return true;
}

std::string Quote(const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string out = "\"";
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace gateway::csv
