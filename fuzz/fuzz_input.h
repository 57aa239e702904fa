// The fuzz targets' input reader and invariant check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

// Stops the run with a message: libFuzzer keeps the input that got here.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

#define FUZZ_CHECK(condition)                   \
  do {                                          \
    if (!(condition)) ::fuzz::Fail(#condition); \
  } while (0)

// Values taken from the front of the input; an exhausted input gives zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return size_ == 0; }
  uint8_t Byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  uint32_t Uint32() { return static_cast<uint32_t>(Word()) << 16 | Word(); }
  // An integer from low to high inclusive (a span of at most 65536).
  int32_t InRange(int32_t low, int32_t high) {
    const uint32_t span = static_cast<uint32_t>(high - low) + 1u;
    return low + static_cast<int32_t>(Word() % span);
  }
  // Everything that is left.
  std::string Rest() {
    std::string rest(reinterpret_cast<const char*>(data_), size_);
    data_ += size_;
    size_ = 0;
    return rest;
  }
  // The bytes up to the next '\n' (which is dropped), or the rest.
  std::string Line() {
    const void* end = std::memchr(data_, '\n', size_);
    const size_t length =
        end == nullptr ? size_ : static_cast<size_t>(static_cast<const uint8_t*>(end) - data_);
    std::string line(reinterpret_cast<const char*>(data_), length);
    const size_t taken = end == nullptr ? length : length + 1;
    data_ += taken;
    size_ -= taken;
    return line;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace fuzz
