#include "gateway/mqtt/mq_model.h"

#include <cstdio>
#include <cstring>
#include <map>

#include "gateway/config/csv.h"
#include "gateway/core/tags.h"

namespace mqtt {

std::string PointName(char letter, uint32_t element) {
  char text[16];
  std::snprintf(text, sizeof text, "%c%04X", letter, element);
  return text;
}

uint64_t BitsOf(DataType type, double value) {
  switch (type) {
    case DataType::Boolean:
      return value != 0 ? 1 : 0;
    case DataType::UInt16:
    case DataType::Int16:
      return static_cast<uint16_t>(static_cast<int32_t>(value));
    case DataType::UInt32:
    case DataType::Int32:
      return static_cast<uint32_t>(static_cast<int64_t>(value));
    case DataType::Float: {
      const float f = static_cast<float>(value);
      uint32_t bits = 0;
      std::memcpy(&bits, &f, sizeof bits);
      return bits;
    }
    case DataType::Double: {
      uint64_t bits = 0;
      std::memcpy(&bits, &value, sizeof bits);
      return bits;
    }
    default:
      return static_cast<uint64_t>(value);
  }
}

double NumberOf(DataType type, uint64_t bits) {
  switch (type) {
    case DataType::Int16:
      return static_cast<int16_t>(bits);
    case DataType::Int32:
      return static_cast<int32_t>(bits);
    case DataType::UInt16:
      return static_cast<uint16_t>(bits);
    case DataType::UInt32:
      return static_cast<uint32_t>(bits);
    case DataType::Float: {
      const uint32_t word = static_cast<uint32_t>(bits);
      float f = 0;
      std::memcpy(&f, &word, sizeof f);
      return f;
    }
    case DataType::Double: {
      double d = 0;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    default:
      return static_cast<double>(bits);
  }
}

bool SameBirth(const MetricDef& a, const MetricDef& b) {
  if (a.name != b.name || a.alias != b.alias || a.type != b.type || a.isTag != b.isTag) {
    return false;
  }
  if (!a.isTag) return true;
  const gateway::Tag &x = a.tag, &y = b.tag;
  return x.units == y.units && x.description == y.description && x.scaled == y.scaled &&
         x.engLow == y.engLow && x.engHigh == y.engHigh && x.writable == y.writable;
}

namespace {

DataType DataTypeOf(gateway::TagValueType type) {
  switch (type) {
    case gateway::TagValueType::Boolean:
      return DataType::Boolean;
    case gateway::TagValueType::UInt16:
      return DataType::UInt16;
    case gateway::TagValueType::Int16:
      return DataType::Int16;
    case gateway::TagValueType::UInt32:
      return DataType::UInt32;
    case gateway::TagValueType::Int32:
      return DataType::Int32;
    case gateway::TagValueType::Float:
      return DataType::Float;
    case gateway::TagValueType::Double:
      return DataType::Double;
  }
  return DataType::Double;
}

// A unit's tags as its metrics.
void TagMetrics(const gateway::Unit& unit, uint64_t& alias, DeviceDef& device) {
  for (size_t t = 0; t < unit.tags.size(); ++t) {
    const gateway::Tag& tag = unit.tags[t];
    MetricDef m;
    m.name = tag.name;
    m.alias = alias++;
    m.type = DataTypeOf(gateway::ValueTypeOf(tag));
    m.table = t;
    m.deadband = tag.deadband;
    m.maxAgeMs = tag.maxAgeMs;
    m.writable = tag.writable;
    m.isTag = true;
    m.tag = tag;
    device.metrics.push_back(std::move(m));
  }
}

}  // namespace

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
    if (!unit.tags.empty()) {
      device.tagged = true;
      TagMetrics(unit, alias, device);
      model.devices.push_back(std::move(device));
      continue;
    }
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

namespace mqtt {

std::string ExportTags(const gateway::Config& config) {
  gateway::Config plain = config;
  for (gateway::Unit& unit : plain.units) unit.tags.clear();
  const Model model = BuildModel(plain);
  std::string out;
  const std::vector<std::string>& columns = gateway::TagColumns();
  for (size_t c = 0; c < columns.size(); ++c) out += (c ? "," : "") + columns[c];
  out += "\r\n";
  for (const DeviceDef& device : model.devices) {
    const gateway::Unit& unit = plain.units[device.unit];
    for (const MetricDef& m : device.metrics) {
      const gateway::Table& table = unit.tables[m.table];
      const char* type = m.type == DataType::Boolean ? "bool"
                         : m.type == DataType::Int16 ? "int16"
                         : m.type == DataType::Float ? "float"
                                                     : "uint16";
      char deadband[32] = "";
      if (m.deadband > 0) std::snprintf(deadband, sizeof deadband, "%.17g", m.deadband);
      // device,name,address,type,word_order,raw_low,raw_high,eng_low,eng_high,clamp,units,
      // description,deadband,poll_ms,max_age_ms,writable
      out += gateway::csv::Quote(device.id) + "," + gateway::csv::Quote(m.name) + "," + m.name +
             "," + type + ",,,,,,,,," + deadband + "," + std::to_string(table.pollMs) + "," +
             std::to_string(table.maxAgeMs) + "," + (m.writable ? "true" : "false") + "\r\n";
    }
  }
  return out;
}

}  // namespace mqtt
