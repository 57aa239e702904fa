// The tag file ([gateway] tags): a CSV with a header row, each row a tag of
// one unit. Every refusal names FILE:LINE:COLUMN and what is wrong.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <set>

#include "gateway/config/csv.h"
#include "gateway/config/reader.h"

namespace gateway::parse {

namespace {

struct Cell {
  const csv::Field* field = nullptr;  // nullptr: the column is not in the file
  bool Empty() const { return field == nullptr || field->text.empty(); }
  const std::string& Text() const {
    static const std::string kNone;
    return field ? field->text : kNone;
  }
};

class RowReader {
 public:
  RowReader(const std::string& file, const std::map<std::string, size_t>& columns,
            const csv::Row& row)
      : file_(file), columns_(columns), row_(row) {}

  Cell Get(const char* column) const {
    auto it = columns_.find(column);
    if (it == columns_.end()) return Cell{};
    if (it->second < row_.size()) return Cell{&row_[it->second]};
    return Cell{};
  }
  [[noreturn]] void Fail(const Cell& cell, const std::string& reason) const {
    // A cell past the row's end: where it would begin.
    const csv::Field& last = row_.back();
    int end = last.column + 1;
    for (unsigned char c : last.text) end += (c & 0xC0) != 0x80 ? 1 : 0;
    const int line = cell.field ? cell.field->line : last.line;
    const int column = cell.field ? cell.field->column : end;
    throw FileRefusal{file_ + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
                      reason};
  }
  std::optional<double> Number(const char* column) const {
    const Cell cell = Get(column);
    if (cell.Empty()) return std::nullopt;
    const std::string& text = cell.Text();
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
      Fail(cell, std::string(column) + " '" + text + "' is not a number");
    }
    return value;
  }
  std::optional<bool> Flag(const char* column) const {
    const Cell cell = Get(column);
    if (cell.Empty()) return std::nullopt;
    if (cell.Text() == "true") return true;
    if (cell.Text() == "false") return false;
    Fail(cell, std::string(column) + " '" + cell.Text() + "' is not true or false");
  }
  std::optional<uint32_t> Whole(const char* column, uint32_t low, uint32_t high) const {
    const Cell cell = Get(column);
    if (cell.Empty()) return std::nullopt;
    const std::string& text = cell.Text();
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || value < low || value > high) {
      Fail(cell, std::string(column) + " '" + text + "' is not a whole number in " +
                     std::to_string(low) + ".." + std::to_string(high));
    }
    return static_cast<uint32_t>(value);
  }

 private:
  const std::string& file_;
  const std::map<std::string, size_t>& columns_;
  const csv::Row& row_;
};

// "V0064", "V0064.3", "F0200", "X0010": false when the text is not one.
bool ParsePointAddress(const std::string& text, Tag& tag) {
  if (text.size() < 2) return false;
  const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  if (std::string("VFXYC").find(letter) == std::string::npos) return false;
  const size_t dot = text.find('.');
  const std::string hex = text.substr(1, dot == std::string::npos ? std::string::npos : dot - 1);
  if (hex.empty() || hex.size() > 4 ||
      hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  tag.letter = letter;
  tag.element = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
  tag.bit = -1;
  if (dot != std::string::npos) {
    const std::string bit = text.substr(dot + 1);
    if (bit.empty() || bit.size() > 2 || bit.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    tag.bit = std::stoi(bit);
  }
  return true;
}

bool ParseType(const std::string& text, TagType& type) {
  for (TagType t : {TagType::Bool, TagType::UInt16, TagType::Int16, TagType::UInt32, TagType::Int32,
                    TagType::Float, TagType::Bcd16, TagType::Bcd32}) {
    if (text == TagTypeName(t)) {
      type = t;
      return true;
    }
  }
  return false;
}

// Why `type` does not fit the tag's address, or "".
std::string Misfit(const Tag& tag) {
  const std::string address = tag.Address();
  if (tag.letter != 'V' && tag.letter != 'F') {
    return tag.type == TagType::Bool ? "" : address + " is a discrete: its type is bool";
  }
  if (tag.letter == 'F') {
    return tag.type == TagType::Float ? "" : address + " is an F value: its type is float";
  }
  if (tag.bit >= 0) {
    return tag.type == TagType::Bool ? "" : address + " is a bit: its type is bool";
  }
  if (tag.type == TagType::Bool)
    return address + " is a word: bool needs a bit (" + address + ".0)";
  return "";
}

void ReadRow(const RowReader& r, const std::vector<Unit>& units,
             const std::map<std::string, size_t>& devices, Config& config,
             std::vector<std::map<std::string, int>>& names) {
  const Cell device = r.Get("device");
  if (device.Empty()) r.Fail(device, "device is empty");
  auto unitIt = devices.find(device.Text());
  if (unitIt == devices.end()) r.Fail(device, "no unit has the device id '" + device.Text() + "'");
  Unit& unit = config.units[unitIt->second];
  (void)units;

  Tag tag;
  const Cell name = r.Get("name");
  tag.sourceLine = name.field ? name.field->line : 0;
  const std::string& n = name.Text();
  if (n.empty()) r.Fail(name, "name is empty");
  if (n.front() == '/' || n.back() == '/' || n.find("//") != std::string::npos) {
    r.Fail(name, "name '" + n + "' has an empty folder (folders are separated by one /)");
  }
  if (n.find_first_of("+#") != std::string::npos) r.Fail(name, "name '" + n + "' holds + or #");
  auto [seen, fresh] = names[unitIt->second].emplace(n, tag.sourceLine);
  if (!fresh) {
    r.Fail(name, "name '" + n + "' is used twice for device '" + device.Text() +
                     "' (first at line " + std::to_string(seen->second) + ")");
  }
  tag.name = n;

  const Cell address = r.Get("address");
  if (!ParsePointAddress(address.Text(), tag)) {
    r.Fail(address, "address '" + address.Text() +
                        "' is not a point (V0064, V0064.3, F0200, X0010, Y0005, C0003)");
  }
  if (tag.element < 1 || tag.element > 0xFFFF)
    r.Fail(address, "address " + address.Text() + " is outside 0001..FFFF");
  if (tag.bit > 15) r.Fail(address, "bit " + std::to_string(tag.bit) + " is outside 0..15");
  if (tag.bit >= 0 && tag.letter != 'V') r.Fail(address, "only V words have bits");
  if (tag.letter == 'F' && tag.element % 2 != 0) {
    r.Fail(address, "F values start at even addresses: " + address.Text() + " is odd");
  }

  const Cell type = r.Get("type");
  if (type.Empty()) {
    tag.type = tag.letter == 'F'                   ? TagType::Float
               : tag.letter != 'V' || tag.bit >= 0 ? TagType::Bool
                                                   : TagType::UInt16;
  } else if (!ParseType(type.Text(), tag.type)) {
    r.Fail(type, "type '" + type.Text() +
                     "' is not bool, uint16, int16, uint32, int32, float, bcd16 or bcd32");
  }
  if (const std::string why = Misfit(tag); !why.empty()) {
    r.Fail(type.field ? type : address,
           "type " + std::string(TagTypeName(tag.type)) + " does not fit: " + why);
  }
  if (tag.element + tag.Words() - 1 > 0xFFFF) {
    r.Fail(address, "the second word of " + address.Text() + " is beyond FFFF");
  }

  const Cell order = r.Get("word_order");
  if (!order.Empty()) {
    if (tag.Words() != 2) r.Fail(order, "word_order applies to the two-word types only");
    if (order.Text() != "high-first" && order.Text() != "low-first") {
      r.Fail(order, "word_order '" + order.Text() + "' is not high-first or low-first");
    }
    tag.lowWordFirst = order.Text() == "low-first";
  }

  const char* kScale[] = {"raw_low", "raw_high", "eng_low", "eng_high"};
  std::optional<double> scale[4];
  int given = 0;
  for (int i = 0; i < 4; ++i) {
    scale[i] = r.Number(kScale[i]);
    given += scale[i] ? 1 : 0;
  }
  if (given != 0 && given != 4) {
    for (int i = 0; i < 4; ++i) {
      if (!scale[i])
        r.Fail(r.Get(kScale[i]),
               std::string("scaling needs all four of raw_low, raw_high, eng_low, eng_high: ") +
                   kScale[i] + " is empty");
    }
  }
  if (given == 4) {
    if (tag.type == TagType::Bool) r.Fail(r.Get("raw_low"), "a bool tag is not scaled");
    if (*scale[0] == *scale[1]) r.Fail(r.Get("raw_high"), "raw_low and raw_high are equal");
    if (*scale[2] == *scale[3]) r.Fail(r.Get("eng_high"), "eng_low and eng_high are equal");
    tag.scaled = true;
    tag.rawLow = *scale[0];
    tag.rawHigh = *scale[1];
    tag.engLow = *scale[2];
    tag.engHigh = *scale[3];
  }
  if (std::optional<bool> clamp = r.Flag("clamp")) {
    if (*clamp && !tag.scaled) r.Fail(r.Get("clamp"), "clamp applies to scaled tags only");
    tag.clamp = *clamp;
  }
  tag.units = r.Get("units").Text();
  tag.description = r.Get("description").Text();
  if (std::optional<double> deadband = r.Number("deadband")) {
    if (*deadband < 0) r.Fail(r.Get("deadband"), "deadband must be >= 0");
    if (*deadband > 0 && tag.type == TagType::Bool)
      r.Fail(r.Get("deadband"), "a bool tag has no deadband");
    tag.deadband = *deadband;
  }
  tag.pollMs = r.Whole("poll_ms", 0, 3600000).value_or(unit.pollMs);
  tag.maxAgeMs = r.Whole("max_age_ms", 1, 86400000).value_or(unit.maxAgeMs);
  if (std::optional<bool> writable = r.Flag("writable")) {
    if (*writable && tag.letter == 'X') r.Fail(r.Get("writable"), "X inputs cannot be written");
    tag.writable = *writable;
  }
  unit.tags.push_back(std::move(tag));
}

}  // namespace

void ReadTagText(const std::string& text, const std::string& file, Config& config) {
  std::vector<csv::Row> rows;
  csv::Error error;
  if (!csv::Parse(text, rows, error)) {
    throw FileRefusal{file + ":" + std::to_string(error.line) + ":" + std::to_string(error.column) +
                      ": " + error.reason};
  }
  if (rows.empty()) throw FileRefusal{file + ":1:1: the tag file has no header row"};
  std::map<std::string, size_t> columns;
  const std::vector<std::string>& known = TagColumns();
  for (size_t c = 0; c < rows[0].size(); ++c) {
    const csv::Field& f = rows[0][c];
    const std::string where =
        file + ":" + std::to_string(f.line) + ":" + std::to_string(f.column) + ": ";
    if (std::find(known.begin(), known.end(), f.text) == known.end()) {
      throw FileRefusal{where + "unknown column '" + f.text + "'"};
    }
    if (!columns.emplace(f.text, c).second)
      throw FileRefusal{where + "column '" + f.text + "' twice"};
  }
  for (const char* needed : {"device", "name", "address"}) {
    if (!columns.count(needed)) {
      throw FileRefusal{file + ":" + std::to_string(rows[0][0].line) + ":1: the header has no '" +
                        needed + "' column"};
    }
  }
  std::map<std::string, size_t> devices;
  for (size_t u = 0; u < config.units.size(); ++u) {
    const Unit& unit = config.units[u];
    devices[mqtt::DeviceId(unit.name, config.lines[unit.line].name, unit.station)] = u;
  }
  std::vector<std::map<std::string, int>> names(config.units.size());
  for (size_t i = 1; i < rows.size(); ++i) {
    const csv::Row& row = rows[i];
    if (row.size() > rows[0].size()) {
      const csv::Field& f = row[rows[0].size()];
      throw FileRefusal{file + ":" + std::to_string(f.line) + ":" + std::to_string(f.column) +
                        ": the row has " + std::to_string(row.size()) + " fields, the header " +
                        std::to_string(rows[0].size())};
    }
    ReadRow(RowReader(file, columns, row), config.units, devices, config, names);
  }
}

void ReadTags(Config& config) {
  if (config.tagsFile.empty()) return;
  std::string text, reason;
  if (!ReadFileText(config.tagsFile, text, reason)) {
    throw FileRefusal{config.tagsFile + ": cannot read the tag file: " + reason};
  }
  ReadTagText(text, config.tagsFile, config);
}

}  // namespace gateway::parse
