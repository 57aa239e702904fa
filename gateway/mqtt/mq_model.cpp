#include "gateway/mqtt/mq_model.h"

#include <cstdio>
#include <map>

namespace mqtt {

std::string PointName(char letter, uint32_t element) {
  char text[16];
  std::snprintf(text, sizeof text, "%c%04X", letter, element);
  return text;
}

Model BuildModel(const gateway::Config& config) {
  Model model;
  for (const gateway::LineConfig& line : config.lines) model.lines.push_back(line.name);
  uint64_t alias = kAliasFirstLine + 3 * config.lines.size();
  for (size_t u = 0; u < config.units.size(); ++u) {
    const gateway::Unit& unit = config.units[u];
    DeviceDef device;
    device.id = DeviceId(unit.name, config.lines[unit.line].name, unit.station);
    device.unit = u;
    device.unitId = unit.id;
    device.line = unit.line;
    device.station = unit.station;
    // A point two tables read (a holding table and a discrete one, say) is
    // one metric: the first table names its type; it is writable when
    // either table is.
    std::map<std::string, size_t> byName;
    for (size_t t = 0; t < unit.tables.size(); ++t) {
      const gateway::Table& table = unit.tables[t];
      const uint32_t step = table.letter == 'F' ? 2 : 1;
      for (uint32_t k = 0; k < table.count; k += step) {
        MetricDef m;
        m.table = t;
        m.maxAgeMs = table.maxAgeMs;
        uint32_t element = 0;
        if (table.bit >= 0) {
          element = table.ElementOf(k);
          m.bit = table.BitOf(k);
          m.name = PointName('V', element) + "." + std::to_string(m.bit);
          m.type = DataType::Boolean;
        } else if (table.letter == 'F') {
          element = table.element + k;
          m.name = PointName('F', element);
          m.type = DataType::Float;
          m.deadband = table.deadband;
        } else {
          element = table.element + k;
          m.name = PointName(table.letter, element);
          m.type = table.letter != 'V' ? DataType::Boolean
                   : table.isSigned    ? DataType::Int16
                                       : DataType::UInt16;
        }
        m.offset = element - table.FirstElement();
        m.memory = table.Memory();
        m.element = element;
        m.writable = table.writable;
        auto [it, fresh] = byName.emplace(m.name, device.metrics.size());
        if (fresh) {
          m.alias = alias++;
          device.metrics.push_back(m);
        } else if (m.writable) {
          device.metrics[it->second].writable = true;
        }
      }
    }
    model.devices.push_back(std::move(device));
  }
  return model;
}

}  // namespace mqtt
