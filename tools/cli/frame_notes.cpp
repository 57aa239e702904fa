#include "tools/cli/frame_notes.h"

#include "nitp/frame.h"
#include "tools/cli/numbers.h"

namespace tiway {

uint16_t Checksum(std::string_view text) {
  const std::string copy(text);
  return static_cast<uint16_t>(FrameChecksum(copy.c_str(), static_cast<int32_t>(copy.size())));
}

namespace {

const char* TypeName(std::string_view code) {
  if (code == "01") return "V";
  if (code == "03") return "X";
  if (code == "04") return "Y";
  if (code == "05") return "C";
  return "?";
}

// The length field and the checksum of a frame, with their verdict; sets
// length to the frame's length field, 0 when there is none.
std::string Envelope(std::string_view frame, size_t& length) {
  length = 0;
  if (frame.empty()) return "";
  if (frame[0] != ':') return "not a frame (no ':' at the start)";
  int64_t l = HexField(frame, 1, 4);
  if (l < 10 || static_cast<size_t>(l) > frame.size() || frame[static_cast<size_t>(l) - 1] != ';') {
    return "malformed: the length field does not lead to a ';'";
  }
  length = static_cast<size_t>(l);
  int64_t received = HexField(frame, length - 5, 4);
  uint16_t expected = Checksum(frame.substr(1, length - 6));
  if (received != expected) {
    return "checksum " + std::string(frame.substr(length - 5, 4)) + " BAD (expected " +
           Hex(expected, 4) + ")";
  }
  return "checksum ok";
}

std::string Split(std::string_view data, int width) {
  std::string out;
  if (width <= 0) return std::string(data);
  for (size_t i = 0; i < data.size(); i += static_cast<size_t>(width)) {
    if (!out.empty()) out += ' ';
    out += data.substr(i, static_cast<size_t>(width));
  }
  return out;
}

}  // namespace

std::string AnnotateRequest(std::string_view frame) {
  size_t length = 0;
  std::string envelope = Envelope(frame, length);
  if (frame.empty()) return "(no request)";
  if (length == 0) return envelope;
  std::string_view body = frame.substr(5, length - 10);
  if (body.size() < 2 || body.substr(0, 2) != "01" || body.size() < 12) {
    return "message " + std::string(body.substr(0, 2)) + ", " + envelope;
  }
  std::string out = "station " + std::string(body.substr(2, 2));
  std::string_view prim = body.substr(8, 2);
  std::string_view type = body.substr(10, 2);
  std::string_view params = body.substr(12);
  if (prim == "20" && params.size() >= 8) {
    out += ", read " + std::string(TypeName(type)) + " (" + std::string(body.substr(8, 4)) +
           "), count " + std::to_string(HexField(params, 0, 4)) + ", address " +
           std::string(params.substr(4, 4));
  } else if (prim == "30" && params.size() >= 4) {
    int width = (type == "03" || type == "04" || type == "05") ? 2 : 4;
    std::string_view data = params.substr(4);
    out += ", write " + std::string(TypeName(type)) + " (" + std::string(body.substr(8, 4)) +
           "), address " + std::string(params.substr(0, 4)) + ", data " +
           (data.empty() ? std::string("(none)") : Split(data, width));
  } else {
    out += ", primitive " + std::string(body.substr(8, 4));
  }
  return out + ", " + envelope;
}

}  // namespace tiway
