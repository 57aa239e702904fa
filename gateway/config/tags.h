// Tags: named, typed and scaled points of a unit, from the tag file (a CSV
// named by [gateway] tags). A unit with tags publishes them over MQTT in
// place of its address metrics; its Modbus tables are unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gateway {

enum class TagType { Bool, UInt16, Int16, UInt32, Int32, Float, Bcd16, Bcd32 };
const char* TagTypeName(TagType type);  // "bool", "uint16", ... as in the file

struct Tag {
  std::string name;   // "Boiler 1/Drum/Level"
  char letter = 'V';  // V, F, X, Y or C, as in the address
  uint32_t element = 1;
  int bit = -1;  // V0064.3: bit 3 (0 is the word's least significant bit)
  TagType type = TagType::UInt16;
  bool lowWordFirst = false;  // two-word types: the low word at the lower address
  bool scaled = false;
  double rawLow = 0, rawHigh = 0, engLow = 0, engHigh = 0;
  bool clamp = false;
  std::string units, description;
  double deadband = 0;  // in engineering units
  uint32_t pollMs = 1000;
  uint32_t maxAgeMs = 10000;
  bool writable = false;
  int sourceLine = 0;  // the row's line in the tag file

  // The memory it reads (V for V and F), and how many elements from `element`.
  char Memory() const { return letter == 'F' ? 'V' : letter; }
  uint32_t Words() const;       // 2 for the two-word types, else 1
  std::string Address() const;  // "V0064", "V0064.3", "F0200"
};

// The tag file's columns, in the order --export-tags writes them.
const std::vector<std::string>& TagColumns();

}  // namespace gateway
