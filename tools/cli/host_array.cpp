#include "tools/cli/host_array.h"

namespace tiway {

size_t ArrayWords(int32_t elementCount) {
  // Reads of F values use four words per value (two per counted word), block
  // reads of discretes every second word: 2n + 2 covers every layout.
  return elementCount > 0 ? 2 * static_cast<size_t>(elementCount) + 2 : 2;
}

std::vector<uint32_t> ValuesFromReadArray(const ZorPointAddress& address, int32_t elementCount,
                                          const std::vector<uint16_t>& data) {
  std::vector<uint32_t> values;
  if (elementCount <= 0) return values;
  const size_t n = static_cast<size_t>(elementCount);
  switch (KindOf(address)) {
    case PointKind::VWord:
      if (n == 1) {
        values.push_back(data.at(1));
      } else {
        for (size_t k = 0; k < n; ++k) values.push_back(data.at(k));
      }
      break;
    case PointKind::VBit:
      for (size_t k = 0; k < n; ++k) values.push_back(data.at(k + 1));
      break;
    case PointKind::FValue:
      for (size_t j = 0; 2 * j < n; ++j) {
        values.push_back(uint32_t{data.at(4 * j + 1)} << 16 | data.at(4 * j));
      }
      break;
    case PointKind::Discrete:
      for (size_t k = 0; k < n; ++k) values.push_back(data.at(2 * k + 1));
      break;
  }
  return values;
}

std::vector<uint16_t> WriteArrayFromValues(const ZorPointAddress& address,
                                           const std::vector<uint32_t>& values) {
  const PointKind kind = KindOf(address);
  std::vector<uint16_t> data(
      ArrayWords(DriverElementCount(kind, static_cast<int32_t>(values.size()))), 0);
  for (size_t k = 0; k < values.size(); ++k) {
    if (kind == PointKind::FValue) {
      data[2 * k + 1] = static_cast<uint16_t>(values[k] >> 16);
      data[2 * k] = static_cast<uint16_t>(values[k] & 0xFFFF);
    } else {
      data[k + 1] = static_cast<uint16_t>(values[k]);
    }
  }
  return data;
}

}  // namespace tiway
