// The tag's own rules: its types' names, its words, its address text, and
// the tag file's columns.
#include "gateway/config/tags.h"

#include <cstdio>

namespace gateway {

const char* TagTypeName(TagType type) {
  switch (type) {
    case TagType::Bool:
      return "bool";
    case TagType::UInt16:
      return "uint16";
    case TagType::Int16:
      return "int16";
    case TagType::UInt32:
      return "uint32";
    case TagType::Int32:
      return "int32";
    case TagType::Float:
      return "float";
    case TagType::Bcd16:
      return "bcd16";
    case TagType::Bcd32:
      return "bcd32";
  }
  return "?";
}

uint32_t Tag::Words() const {
  switch (type) {
    case TagType::UInt32:
    case TagType::Int32:
    case TagType::Float:
    case TagType::Bcd32:
      return 2;
    default:
      return 1;
  }
}

std::string Tag::Address() const {
  char text[24];
  if (bit >= 0) {
    std::snprintf(text, sizeof text, "%c%04X.%d", letter, element, bit);
  } else {
    std::snprintf(text, sizeof text, "%c%04X", letter, element);
  }
  return text;
}

const std::vector<std::string>& TagColumns() {
  static const std::vector<std::string> kColumns = {
      "device",   "name",    "address",    "type",    "word_order", "raw_low",
      "raw_high", "eng_low", "eng_high",   "clamp",   "units",      "description",
      "deadband", "poll_ms", "max_age_ms", "writable"};
  return kColumns;
}

}  // namespace gateway
