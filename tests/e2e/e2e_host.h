// What a host keeps for one driver instance in the end-to-end tests: the
// context it allocates, the parameter blocks it fills and its data arrays,
// reached only through ZorMain. Shared by the native and the Windows suites.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/instance.h"
#include "zortw/zortw.h"

namespace e2e {

inline constexpr int32_t kInstance = 7;
inline constexpr uint16_t kGuard = 0xA5A5;

// A pseudo-terminal carries whole bytes: 8 data bits, no parity.
using zortw_host::kPtyLine;

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

// One driver instance as the host drives it: the host library's instance,
// with statuses alone (the tests read the log through their own function).
class Instance {
 public:
  explicit Instance(ZorMainFn zorMain)
      : host_(zorMain, kInstance, [] { return std::vector<std::string>(); }) {}

  ZorPortContext& Context() { return host_.Context(); }
  const std::vector<uint8_t>& Bytes() const { return host_.Bytes(); }

  int32_t Call(int32_t command, void* params = nullptr) {
    return host_.Call(command, params).status;
  }

  int32_t ColdStart(const std::string& port, int32_t readTimeout = 10,
                    ZorLineSettings line = kPtyLine, uint32_t enabled = 1) {
    return host_.Start(port, readTimeout, line, enabled).status;
  }

  int32_t ReopenPort(const std::string& port, int32_t readTimeout,
                     ZorLineSettings line = kPtyLine) {
    return host_.Reopen(port, readTimeout, line).status;
  }

  // DefinePoint (or CheckBlock); the ZorPointAddress comes back in `address`.
  int32_t Define(const char* text, int32_t hostDataType, ZorPointAddress& address,
                 int32_t command = ZOR_DEFINE_POINT, int32_t elementCount = 1) {
    if (command == ZOR_CHECK_BLOCK) {
      return host_.CheckBlock(text, hostDataType, elementCount, address).status;
    }
    return host_.Define(text, hostDataType, address).status;
  }

  int32_t Transfer(int32_t command, const ZorPointAddress& address, int32_t count, uint16_t* data) {
    ZorBlockRequest block{};
    block.hostField0 = 0xCAFE0000;
    block.address = address;
    block.elementCount = count;
    block.data = data;
    return Call(command, &block);
  }

 private:
  zortw_host::Instance host_;
};

// A defined point, for tests that need one without a definition: what
// DefinePoint gives for the text.
inline ZorPointAddress Point(int32_t station, char letter, uint32_t element, int32_t bit = 255) {
  ZorPointAddress address{};
  address.station = station;
  address.typeLetter = letter;
  address.elementAddress = element;
  address.bitNumber = letter == 'V' || letter == 'F' ? bit : static_cast<int32_t>(element % 16);
  address.bitsPerElement = letter == 'F' ? 32 : (letter == 'V' && bit == 255 ? 16 : 1);
  return address;
}

}  // namespace e2e
