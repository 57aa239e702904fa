#include "gateway/modbus/units.h"

#include <algorithm>
#include <cstdio>
#include <future>
#include <memory>
#include <utility>

#include "gateway/core/log.h"
#include "gateway/report/diagnostics.h"

namespace gateway {

uint8_t ExceptionForWrite(int32_t status) {
  if (status == ZOR_OK) return kOk;
  if (status == kNotDone || status == ZOR_LINE_FAILURE) return kGatewayTarget;
  return kDeviceFailure;
}

}  // namespace gateway

namespace gateway::modbus {

std::optional<size_t> TableAt(const Unit& unit, Kind kind, uint32_t address) {
  for (size_t t = 0; t < unit.tables.size(); ++t) {
    const Table& table = unit.tables[t];
    if (table.kind == kind && address >= table.address && address < table.address + table.count) {
      return t;
    }
  }
  return std::nullopt;
}

uint8_t SplitWrite(const Unit& unit, Kind kind, uint32_t address,
                   const std::vector<uint16_t>& values, std::vector<PointWrite>& pieces) {
  const uint32_t count = static_cast<uint32_t>(values.size());
  for (uint32_t i = 0; i < count;) {
    const uint32_t at = address + i;
    const std::optional<size_t> t = TableAt(unit, kind, at);
    // A table that does not say `writable = true` has no writable address
    // (0x02, as for an address no table maps); half an F value is no value.
    if (!t) return kIllegalAddress;
    const Table& table = unit.tables[*t];
    const uint32_t n = std::min(count - i, table.address + table.count - at);
    const uint32_t k = at - table.address;
    if (!table.writable || (table.letter == 'F' && (k % 2 != 0 || n % 2 != 0))) {
      return kIllegalAddress;
    }
    PointWrite piece;
    piece.memory = table.Memory();
    piece.element = table.letter == 'F' ? table.element + k : table.ElementOf(k);
    piece.bit = table.BitOf(k);
    piece.values.assign(values.begin() + i, values.begin() + i + n);
    if (table.letter == 'F' && table.lowWordFirst) {
      for (size_t w = 0; w + 1 < piece.values.size(); w += 2) {
        std::swap(piece.values[w], piece.values[w + 1]);
      }
    }
    pieces.push_back(std::move(piece));
    i += n;
  }
  return kOk;
}

std::string Actor(const std::string& address, uint16_t port) {
  return (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" +
         std::to_string(port);
}

std::string WriteWhat(const Request& request) {
  std::string text = "unit " + std::to_string(request.unit) + " function " +
                     std::to_string(request.function) + " address " +
                     std::to_string(request.address) + " values";
  constexpr size_t kShown = 32;
  for (size_t i = 0; i < request.values.size() && i < kShown; ++i) {
    text += " " + std::to_string(request.values[i]);
  }
  if (request.values.size() > kShown) {
    text += " ... (" + std::to_string(request.values.size()) + " values)";
  }
  return text;
}

std::string AnswerText(uint8_t answer) {
  if (answer == kOk) return "answered ok";
  char text[32];
  std::snprintf(text, sizeof text, "answered exception 0x%02X", answer);
  return text;
}

std::string AuditRefusal(const std::string& actor, const Request& request, uint8_t answer,
                         const char* why) {
  return AuditText(actor, WriteWhat(request), kNotSent, AnswerText(answer),
                   why != nullptr ? why : "");
}

uint8_t Units::Read(int unitId, Kind kind, uint32_t address, uint32_t count,
                    std::vector<uint16_t>& out, Clock::time_point now) {
  const Config& config = core_.Cfg();
  if (unitId == config.diagnosticsUnit) {
    if (kind != Kind::Holding && kind != Kind::Input) return kIllegalAddress;
    const std::vector<uint16_t> regs = DiagnosticRegisters(core_, now);
    if (address + count > regs.size()) return kIllegalAddress;
    out.assign(regs.begin() + address, regs.begin() + address + count);
    return kOk;
  }
  size_t u = 0;
  const Unit* unit = core_.FindUnit(unitId, u);
  if (unit == nullptr) return kGatewayPath;
  UnitCounters& counters = *core_.UnitCountersOf(u);
  counters.requests.Add();
  out.assign(count, 0);
  // Every address must be mapped (0x02) before any value's quality counts
  // (0x0B): a request that is wrong stays wrong whatever the line does.
  for (uint32_t i = 0; i < count;) {
    const uint32_t at = address + i;
    const std::optional<size_t> t = TableAt(*unit, kind, at);
    if (!t) {
      counters.exceptions.Add();
      return kIllegalAddress;
    }
    i += unit->tables[*t].address + unit->tables[*t].count - at;
  }
  for (uint32_t i = 0; i < count;) {
    const size_t t = *TableAt(*unit, kind, address + i);
    const Table& table = unit->tables[t];
    const uint32_t k0 = address + i - table.address;
    const uint32_t n = std::min(count - i, table.count - k0);
    // The elements the registers cover (F low word first swaps a pair's words).
    uint32_t lo = UINT32_MAX, hi = 0;
    for (uint32_t k = k0; k < k0 + n; ++k) {
      lo = std::min(lo, table.ElementOf(k) - table.FirstElement());
      hi = std::max(hi, table.ElementOf(k) - table.FirstElement());
    }
    const std::vector<Sample> samples = core_.ReadTable(u, t, lo, hi - lo + 1, now);
    for (uint32_t k = k0; k < k0 + n; ++k, ++i) {
      const Sample& sample = samples[table.ElementOf(k) - table.FirstElement() - lo];
      // Never serve a value whose last read failed or that is too old.
      if (sample.quality != Quality::Good) {
        counters.exceptions.Add();
        return kGatewayTarget;
      }
      const int bit = table.BitOf(k);
      out[i] = bit >= 0 ? static_cast<uint16_t>((sample.word >> bit) & 1) : sample.word;
    }
  }
  return kOk;
}

void Units::Submit(const Request& request, const std::string& actor, WriteDone done) {
  const auto refuse = [&](uint8_t code, const char* why) {
    Log(AuditRefusal(actor, request, code, why));
    done(code, kNotSent);
  };
  if (request.unit == core_.Cfg().diagnosticsUnit) return refuse(kIllegalAddress, nullptr);
  size_t u = 0;
  const Unit* unit = core_.FindUnit(request.unit, u);
  if (unit == nullptr) return refuse(kGatewayPath, nullptr);
  std::shared_ptr<UnitCounters> counters = core_.UnitCountersOf(u);
  counters->requests.Add();
  if (request.kind != Kind::Holding && request.kind != Kind::Coil) {
    counters->exceptions.Add();
    return refuse(kIllegalFunction, nullptr);
  }
  // Every element must be mapped before anything is written.
  WriteOrder order;
  if (SplitWrite(*unit, request.kind, request.address, request.values, order.pieces) != kOk) {
    counters->exceptions.Add();
    return refuse(kIllegalAddress, "not a writable address");
  }
  order.unit = request.unit;
  order.actor = actor;
  order.what = WriteWhat(request);
  order.outcome = [](int32_t status) { return AnswerText(ExceptionForWrite(status)); };
  core_.Submit(std::move(order), [counters, done = std::move(done)](int32_t status) {
    if (status != ZOR_OK) counters->exceptions.Add();
    done(ExceptionForWrite(status), status);
  });
}

void Units::WriteAsync(int unitId, Kind kind, uint32_t address, const std::vector<uint16_t>& values,
                       WriteDone done) {
  Request request;
  request.unit = static_cast<uint8_t>(unitId);
  request.function = kind == Kind::Coil ? 15 : 16;
  request.write = true;
  request.kind = kind;
  request.address = address;
  request.count = static_cast<uint32_t>(values.size());
  request.values = values;
  Submit(request, "test", std::move(done));
}

uint8_t Units::Write(int unitId, Kind kind, uint32_t address, const std::vector<uint16_t>& values) {
  std::promise<uint8_t> result;
  std::future<uint8_t> answer = result.get_future();
  WriteAsync(unitId, kind, address, values,
             [&result](uint8_t code, int32_t) { result.set_value(code); });
  return answer.get();
}

}  // namespace gateway::modbus
