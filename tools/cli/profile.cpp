#include "tools/cli/profile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace tiway {

namespace {

// The settings a profile may hold: the global options that take a value or
// are flags. Keys are the option names without "--".
struct ProfileKey {
  const char* key;
  std::string Raw::*text;       // an option with a value kept as text
  std::string Options::*value;  // an option with a value taken as it is
  bool Options::*flag;          // a flag: true/false
};
constexpr ProfileKey kProfileKeys[] = {
    {"port", nullptr, &Options::port, nullptr},
    {"driver", nullptr, &Options::driverPath, nullptr},
    {"baud", &Raw::baud, nullptr, nullptr},
    {"data-bits", &Raw::dataBits, nullptr, nullptr},
    {"stop-bits", &Raw::stopBits, nullptr, nullptr},
    {"parity", &Raw::parity, nullptr, nullptr},
    {"timeout", &Raw::timeout, nullptr, nullptr},
    {"host-type", &Raw::hostType, nullptr, nullptr},
    {"instance", &Raw::instance, nullptr, nullptr},
    {"format", &Raw::format, nullptr, nullptr},
    {"trace", nullptr, nullptr, &Options::trace},
    {"json", nullptr, nullptr, &Options::json},
    {"keep-going", nullptr, nullptr, &Options::keepGoing},
};

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = up;
    }
  }
  return row[b.size()];
}

std::string Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return "";
  const size_t last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace

std::string DefaultProfile() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
    return std::string(xdg) + "/tiway/profile";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::string(home) + "/.config/tiway/profile";
  }
  return "";
}

Problem ApplyProfile(const std::string& path, bool named,
                     const std::function<bool(const std::string&)>& given, Options& o, Raw& raw,
                     std::map<std::string, std::string>& origin) {
  std::error_code code;
  // The default profile is used when it is there to be seen.
  if (!named && !std::filesystem::exists(path, code)) return std::nullopt;
  if (std::filesystem::is_directory(path, code)) {
    return path + ": the profile is a directory, not a file";
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return path + ": cannot read the profile: " + std::strerror(errno);
  }
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const std::string where = path + ":" + std::to_string(number) + ": ";
    // A '#' starts a comment, outside quotes.
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
      if (quote != 0) {
        if (line[i] == quote) quote = 0;
      } else if (line[i] == '"' || line[i] == '\'') {
        quote = line[i];
      } else if (line[i] == '#') {
        line.resize(i);
        break;
      }
    }
    const std::string text = Trim(line);
    if (text.empty()) continue;
    if (text[0] == '[') return where + "sections are not used: write 'option = value' lines";
    const size_t equals = text.find('=');
    if (equals == std::string::npos) {
      return where + "'" + text + "' is not 'option = value' (e.g. port = /dev/ttyS0)";
    }
    std::string key = Trim(text.substr(0, equals));
    std::string value = Trim(text.substr(equals + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]) {
      value = value.substr(1, value.size() - 2);
    }
    if (key.rfind("--", 0) == 0) key.erase(0, 2);
    for (char& c : key) c = c == '_' ? '-' : c;
    const ProfileKey* found = nullptr;
    for (const ProfileKey& k : kProfileKeys) {
      if (key == k.key) found = &k;
    }
    if (found == nullptr) {
      std::string known, near;
      for (const ProfileKey& k : kProfileKeys) {
        known += (known.empty() ? "" : ", ") + std::string(k.key);
        if (near.empty() && EditDistance(key, k.key) <= 2) near = k.key;
      }
      return where + "unknown setting '" + key + "'" +
             (near.empty() ? "" : " (did you mean '" + near + "'?)") + "; a profile takes " + known;
    }
    const std::string option = std::string("--") + found->key;
    if (given(option) || origin.count(option) != 0) continue;
    if (found->value != nullptr && !(o.*(found->value)).empty()) continue;  // from the environment
    origin[option] = where + key + " = " + value + ": ";
    if (found->flag != nullptr) {
      if (value == "true" || value == "1" || value == "yes") {
        o.*(found->flag) = true;
      } else if (value == "false" || value == "0" || value == "no") {
        o.*(found->flag) = false;
      } else {
        return origin[option] + key + " takes true or false";
      }
    } else if (value.empty()) {
      return where + key + " needs a value";
    } else if (found->value != nullptr) {
      o.*(found->value) = value;
    } else {
      raw.*(found->text) = value;
    }
  }
  return std::nullopt;
}

}  // namespace tiway
