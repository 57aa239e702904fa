// Frames for the scripted peer, built independently of the driver's own
// frame code: ":" length body checksum ";".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace frames {

inline std::string Hex(unsigned value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", width, value);
  return text;
}

// The two's complement of the sum of the 4-character groups, "00" appended
// when the text is not a whole number of groups.
inline unsigned Checksum(std::string text) {
  if (text.size() % 4 != 0) text += "00";
  unsigned sum = 0;
  for (size_t i = 0; i + 4 <= text.size(); i += 4)
    sum += std::stoul(text.substr(i, 4), nullptr, 16);
  return (0x10000u - (sum & 0xFFFFu)) & 0xFFFFu;
}

inline std::string Wrap(const std::string& body) {
  std::string length = Hex(static_cast<unsigned>(body.size() + 10), 4);
  return ":" + length + body + Hex(Checksum(length + body), 4) + ";";
}

// A good reply to a primitive on station: message code 01, a non-zero
// primitive code at positions 13 and 14, data from position 17.
inline std::string PrimitiveReply(int station, const std::string& data) {
  return Wrap("01" + Hex(static_cast<unsigned>(station), 2) + "0000" + "2001" + data);
}

// A good reply to a write on station: primitive code 30, no data.
inline std::string WriteReply(int station) {
  return Wrap("01" + Hex(static_cast<unsigned>(station), 2) + "0002" + "3000");
}

// A reply reporting a failed primitive with the given error code.
inline std::string PrimitiveError(int station, unsigned code) {
  return Wrap("01" + Hex(static_cast<unsigned>(station), 2) + "0000" + "000" + Hex(code, 4));
}

}  // namespace frames
