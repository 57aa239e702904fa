#include "sim_data.h"

#include <charconv>

#include "sim_text.h"

namespace tiway_sim {

std::vector<std::string> SplitWords(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    std::size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
    if (j > i) words.emplace_back(line.substr(i, j - i));
    i = j;
  }
  return words;
}

std::string ApplyDataLine(std::string_view line, Network& network) {
  const std::size_t hash = line.find('#');
  if (hash != std::string_view::npos) line = line.substr(0, hash);
  std::vector<std::string> words = SplitWords(line);
  if (words.empty()) return "";
  if (words.size() < 4) return "expected: STATION TYPE ADDRESS [=] VALUE...";
  const auto station = ParseAnyHex(words[0]);
  if (!station || words[0].size() > 2 || !network.Exists(static_cast<int>(*station))) {
    return "station '" + words[0] + "' is not on the network";
  }
  if (words[1].size() != 1) return "bad type '" + words[1] + "' (V, F, X, Y or C)";
  const char letter = words[1][0];
  const bool isF = letter == 'F' || letter == 'f';
  MemoryType type = MemoryType::kV;
  if (!isF && !MemoryTypeFromLetter(letter, type)) {
    return "bad type '" + words[1] + "' (V, F, X, Y or C)";
  }
  const auto address = ParseAnyHex(words[2]);
  if (!address || words[2].size() > 4) return "bad address '" + words[2] + "' (hex 0000-FFFF)";
  std::size_t first = 3;
  if (words[3] == "=") ++first;
  if (first >= words.size()) return "no values";
  // Check every value before storing any.
  std::vector<uint16_t> words16;
  for (std::size_t i = first; i < words.size(); ++i) {
    const auto value = ParseAnyHex(words[i]);
    const std::size_t maxDigits = isF ? 8 : type == MemoryType::kV ? 4 : 1;
    if (!value || words[i].size() > maxDigits || (IsDiscrete(type) && *value > 1)) {
      return "bad value '" + words[i] + "'";
    }
    if (isF) {
      words16.push_back(static_cast<uint16_t>(*value >> 16));
      words16.push_back(static_cast<uint16_t>(*value & 0xFFFF));
    } else {
      words16.push_back(static_cast<uint16_t>(*value));
    }
  }
  if (*address + words16.size() - 1 > 0xFFFF) return "values run past address FFFF";
  for (std::size_t k = 0; k < words16.size(); ++k) {
    network.Write(static_cast<int>(*station), type, static_cast<uint16_t>(*address + k),
                  words16[k]);
  }
  return "";
}

std::string ApplyDataText(std::string_view text, Network& network) {
  int number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::string error = ApplyDataLine(line, network);
    if (!error.empty()) return "line " + std::to_string(number) + ": " + error;
  }
  return "";
}

namespace {

bool ParseStationNumber(std::string_view text, int& value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size() && value >= 1 && value <= 254;
}

}  // namespace

bool ParseStationList(std::string_view text, std::set<int>& stations, std::string& error) {
  stations.clear();
  if (text == "all") {
    for (int s = 1; s <= 254; ++s) stations.insert(s);
    return true;
  }
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const std::size_t dash = item.find('-');
    int low = 0;
    int high = 0;
    const bool ok = dash == std::string_view::npos
                        ? ParseStationNumber(item, low) && ParseStationNumber(item, high)
                        : ParseStationNumber(item.substr(0, dash), low) &&
                              ParseStationNumber(item.substr(dash + 1), high);
    if (!ok || low > high) {
      error = "bad station list item '" + std::string(item) + "' (stations 1-254)";
      return false;
    }
    for (int s = low; s <= high; ++s) stations.insert(s);
  }
  if (stations.empty()) {
    error = "no stations";
    return false;
  }
  return true;
}

}  // namespace tiway_sim
