// Point records shared with the host. Every integer field is 32 bits; the
// host's own fields keep their places and are never read or written here.
#pragma once

#include <cstddef>
#include <cstdint>

struct PointAddress {
  int32_t station;          // 1 to 254
  int32_t typeLetter;       // 'V', 'F', 'X', 'Y' or 'C'
  uint32_t elementAddress;  // 1 to 0xFFFF; the low 16 bits go on the line
  int32_t bitNumber;        // 255 for a whole element, else 0 to 15
  int32_t bitsPerElement;   // 1, 16 or 32
};

struct PointDefinition {
  const char* addressText;  // NUL-terminated, e.g. "01V0010"
  uint32_t hostField1;      // the host's
  int32_t hostDataType;
  int32_t elementCount;     // read by CheckBlock only
  PointAddress address;     // written by DefinePoint and CheckBlock
};

struct BlockRequest {
  uint32_t hostField0;  // the host's
  uint32_t hostField1;  // the host's
  PointAddress address;
  uint32_t hostField7;  // the host's
  int32_t elementCount;  // elements; for "F" 16-bit words, two per value
  uint32_t hostField9;   // the host's
  uint16_t* data;        // the host's array of 16-bit words
};

inline constexpr int32_t kWholeElement = 255;  // bitNumber of a whole word

static_assert(sizeof(PointAddress) == 20);
static_assert(offsetof(PointAddress, typeLetter) == 4);
static_assert(offsetof(PointAddress, elementAddress) == 8);
static_assert(offsetof(PointAddress, bitNumber) == 12);
static_assert(offsetof(PointAddress, bitsPerElement) == 16);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(PointDefinition) == 36);
static_assert(offsetof(PointDefinition, hostDataType) == 8);
static_assert(offsetof(PointDefinition, elementCount) == 12);
static_assert(offsetof(PointDefinition, address) == 16);
static_assert(sizeof(BlockRequest) == 44);
static_assert(offsetof(BlockRequest, address) == 8);
static_assert(offsetof(BlockRequest, hostField7) == 28);
static_assert(offsetof(BlockRequest, elementCount) == 32);
static_assert(offsetof(BlockRequest, data) == 40);
#endif
