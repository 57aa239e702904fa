// Which table of a unit holds a Modbus address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "gateway/config/config.h"

namespace gateway {

// The index in unit.tables of the table of `kind` that maps `address`, or
// nullopt when none does (tables of one kind never overlap).
inline std::optional<size_t> TableAt(const Unit& unit, Kind kind, uint32_t address) {
  for (size_t t = 0; t < unit.tables.size(); ++t) {
    const Table& table = unit.tables[t];
    if (table.kind == kind && address >= table.address && address < table.address + table.count) {
      return t;
    }
  }
  return std::nullopt;
}

}  // namespace gateway
