// The Modbus application protocol's requests and answers, without sockets:
// a request is checked against the protocol for every function code 0-255;
// answers (normal or exception) are encoded here, each with its request's
// MBAP header. The server, the tests and the fuzz target share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/config/config.h"
#include "gateway/modbus/mbap.h"

namespace gateway::modbus {

// One request, checked.
struct Request {
  uint8_t unit = 0;
  uint8_t function = 0;
  bool write = false;
  Kind kind = Kind::Holding;
  uint32_t address = 0;
  uint32_t count = 0;            // registers or bits
  std::vector<uint16_t> values;  // writes: words, or 0/1 per coil
  // Function 43 / MEI 14 (read device identification): the read code and first object.
  uint8_t idCode = 0, objectId = 0;
};

inline constexpr uint8_t kReadDeviceId = 43, kMeiDeviceId = 14;

// What to do with a frame.
enum class Verdict {
  Serve,      // a read or write to carry out (`request` filled)
  Exception,  // answer the exception `code`
  Refuse,     // function code 0x80 or above: no well-formed answer exists; close
};
Verdict Parse(const uint8_t* frame, size_t size, Request& request, uint8_t& code);

// Answers, each with the request's transaction id and unit.
std::vector<uint8_t> ExceptionAnswer(const uint8_t* frame, uint8_t code);
// A read's answer from its values (bits as 0/1, one per element).
std::vector<uint8_t> ReadAnswer(const uint8_t* frame, const Request& request,
                                const std::vector<uint16_t>& values);
// A write's answer: the echo the protocol prescribes for functions 5, 6, 15, 16.
std::vector<uint8_t> WriteAnswer(const uint8_t* frame);
// Function 43 / 14: the basic objects (0 vendor, 1 product code, 2 version)
// from the request's object on (stream access, codes 1-3: all of them fit one
// answer), or the one asked for (individual access, code 4).
std::vector<uint8_t> IdentificationAnswer(const uint8_t* frame, const Request& request,
                                          const std::vector<std::string>& objects);

}  // namespace gateway::modbus
