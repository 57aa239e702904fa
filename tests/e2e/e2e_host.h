// What a host keeps for one driver instance in the end-to-end tests: the
// context it allocates, the parameter blocks it fills and its data arrays,
// reached only through ZorMain. Shared by the native and the Windows suites.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/point_records.h"
#include "base/records.h"

namespace e2e {

#if defined(_WIN32)
using ZorMainFn = int32_t(__stdcall*)(ZorRequest* request);
#else
using ZorMainFn = int32_t (*)(ZorRequest* request);
#endif

enum Command : int32_t {
  kColdStart = 1,
  kWarmStart = 2,
  kDefinePoint = 3,
  kCheckBlock = 4,
  kReadBlock = 5,
  kReadBlockUnchecked = 6,
  kWriteBlock = 7,
  kWriteBlockUnchecked = 10,
  kStop = 11,
  kClosePort = 12,
  kOpenPort = 13,
  kGetDriverInfo = 14,
  kReopenPort = 15,
};

inline constexpr int32_t kInstance = 7;
inline constexpr int32_t kReplyInvalid = 65535;
inline constexpr uint16_t kGuard = 0xA5A5;

// A pseudo-terminal carries whole bytes: 8 data bits, no parity.
inline constexpr LineSettings kPtyLine = {19200, 8, 0, 0};

// The host's array of 16-bit words with guard words around it: the driver
// sees `size` words; every word starts as kGuard (or what the test puts
// there), and the guards must keep it.
class HostArray {
 public:
  explicit HostArray(std::size_t size) : words_(size + 2 * kPad, kGuard), size_(size) {}
  uint16_t* data() { return words_.data() + kPad; }
  uint16_t& operator[](std::size_t i) { return words_[kPad + i]; }
  std::size_t size() const { return size_; }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < kPad; ++i) {
      if (words_[i] != kGuard || words_[kPad + size_ + i] != kGuard) return false;
    }
    return true;
  }
  std::vector<uint16_t> Inside() const {
    return std::vector<uint16_t>(words_.begin() + kPad, words_.begin() + kPad + size_);
  }

 private:
  static constexpr std::size_t kPad = 4;
  std::vector<uint16_t> words_;
  std::size_t size_;
};

// One driver instance as the host drives it.
class Instance {
 public:
  explicit Instance(ZorMainFn zorMain) : zorMain_(zorMain) { context_.fill(0); }

  PortContext& Context() { return *reinterpret_cast<PortContext*>(context_.data()); }
  const std::array<uint8_t, kContextSize>& Bytes() const { return context_; }

  int32_t Call(int32_t command, void* params = nullptr) {
    ZorRequest request{};
    request.context = reinterpret_cast<PortContext*>(context_.data());
    request.command = command;
    request.instance = kInstance;
    request.params = params;
    return zorMain_(&request);
  }

  int32_t ColdStart(const std::string& port, int32_t readTimeout = 10, LineSettings line = kPtyLine,
                    uint32_t enabled = 1) {
    ColdStartParams params{};
    std::strncpy(params.portName, port.c_str(), sizeof params.portName - 1);
    params.enabled = enabled;
    params.readTimeout = readTimeout;
    params.line = line;
    return Call(kColdStart, &params);
  }

  int32_t ReopenPort(const std::string& port, int32_t readTimeout, LineSettings line = kPtyLine) {
    ReopenPortParams params{};
    std::strncpy(params.portName, port.c_str(), sizeof params.portName - 1);
    params.readTimeout = readTimeout;
    params.line = line;
    return Call(kReopenPort, &params);
  }

  // DefinePoint (or CheckBlock); the PointAddress comes back in `address`.
  int32_t Define(const char* text, int32_t hostDataType, PointAddress& address,
                 int32_t command = kDefinePoint, int32_t elementCount = 1) {
    PointDefinition definition{};
    definition.addressText = text;
    definition.hostField1 = 0x11111111;
    definition.hostDataType = hostDataType;
    definition.elementCount = elementCount;
    const int32_t status = Call(command, &definition);
    address = definition.address;
    return status;
  }

  int32_t Transfer(int32_t command, const PointAddress& address, int32_t count, uint16_t* data) {
    BlockRequest block{};
    block.hostField0 = 0xCAFE0000;
    block.address = address;
    block.elementCount = count;
    block.data = data;
    return Call(command, &block);
  }

 private:
  ZorMainFn zorMain_;
  alignas(8) std::array<uint8_t, kContextSize> context_;
};

// A defined point, for tests that need one without a definition: what
// DefinePoint gives for the text.
inline PointAddress Point(int32_t station, char letter, uint32_t element, int32_t bit = 255) {
  PointAddress address{};
  address.station = station;
  address.typeLetter = letter;
  address.elementAddress = element;
  address.bitNumber = letter == 'V' || letter == 'F' ? bit : static_cast<int32_t>(element % 16);
  address.bitsPerElement = letter == 'F' ? 32 : (letter == 'V' && bit == 255 ? 16 : 1);
  return address;
}

}  // namespace e2e
