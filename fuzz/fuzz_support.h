// What the fuzz targets share: a reader that takes values from the front of
// the fuzzer's input, reply frames with a good envelope, and a driver
// instance on the scripted fake line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/records.h"
#include "fuzz/fuzz_input.h"
#include "nitp/frame.h"
#include "serial/serial.h"
#include "tests/fake/fake_line.h"
#include "tests/support/log_capture.h"

namespace fuzz {

inline std::string Hex4(uint32_t value) {
  char text[5];
  FormatHexField(value, 4, text);
  return std::string(text, 4);
}

// body as a frame that passes the envelope checks: ":" length body checksum
// ";". Lets the fuzzer reach what lies behind the checks without solving a
// checksum first.
inline std::string Envelope(const std::string& body) {
  std::string text = Hex4(static_cast<uint32_t>(body.size() + 10)) + body;
  const int32_t checksum = FrameChecksum(text.data(), static_cast<int32_t>(text.size()));
  return ":" + text + Hex4(static_cast<uint32_t>(checksum)) + ";";
}

// One reply as the line will carry it: a line starting with '!' becomes a
// well-enveloped frame of the text after it, any other line goes as it is.
inline std::string ReplyFromLine(const std::string& line) {
  if (!line.empty() && line[0] == '!') return Envelope(line.substr(1));
  return line;
}

// A driver instance as the host allocates it, with its port open on the
// fake line. The context is all zeros but for the port handle and ready.
struct Instance {
  Instance() {
    std::memset(&context, 0, sizeof context);
    SerialHandle handle = 0;
    SerialOpen("COM1", LineSettings{19200, 7, 0, 1}, 8, &handle);
    context.portHandle = handle;
  }
  ZorRequest Request(int32_t command, void* params) {
    return ZorRequest{&context, command, 1, 0, params};
  }

  fake::FakeLine line;  // installs itself first: the constructor opens on it
  LogCapture log;       // keeps the driver's lines off the fuzzer's output
  alignas(4) PortContext context;
};

}  // namespace fuzz
