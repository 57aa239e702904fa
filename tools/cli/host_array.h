// Where the driver keeps the values of a transfer in the host's array of
// 16-bit words, element by element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/cli/point_address.h"
#include "zortw/zortw.h"

namespace tiway {

// Words the host array needs for a transfer of elementCount (driver count).
size_t ArrayWords(int32_t elementCount);

// The values of a read, element by element, from where the driver stores
// them: V word n=1 in data[1], n>=2 in data[k]; single bit k in data[k+1];
// F value j high word data[4j+1], low word data[4j]; discrete k in data[2k+1].
std::vector<uint32_t> ValuesFromReadArray(const ZorPointAddress& address, int32_t elementCount,
                                          const std::vector<uint16_t>& data);

// Fills the host's array for a write of values, where the driver takes them:
// V word / discrete k from data[k+1]; single bit from data[1]; F value j from
// data[2j+1] (high) and data[2j] (low). The array is sized by ArrayWords.
std::vector<uint16_t> WriteArrayFromValues(const ZorPointAddress& address,
                                           const std::vector<uint32_t>& values);

}  // namespace tiway
