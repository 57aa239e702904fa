#include "gateway/core/gateway.h"

#include <algorithm>
#include <future>
#include <limits>
#include <shared_mutex>
#include <tuple>

#include "gateway/core/tables.h"
#include "gateway/report/diagnostics.h"

namespace gateway {

uint32_t Ms(Clock::duration d) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return static_cast<uint32_t>(std::clamp<int64_t>(ms, 0, std::numeric_limits<uint32_t>::max()));
}

Gateway::Gateway(const Config& config, const Plan& plan, ZorMainFn zorMain)
    : config_(config), plan_(plan), zorMain_(zorMain), unitIndex_(256, -1), started_(Clock::now()) {
  for (size_t l = 0; l < config_.lines.size(); ++l) lines_.push_back(MakeLine(config_, plan_, l));
  for (size_t u = 0; u < config_.units.size(); ++u) {
    unitIndex_[static_cast<size_t>(config_.units[u].id)] = static_cast<int>(u);
    unitCounters_.push_back(std::make_shared<UnitCounters>());
  }
}

namespace {

// Per station of line l, the units that read it: "unit 1 (boiler)", or
// "units 1, 2" when several do.
std::vector<std::string> StationNames(const Config& config, size_t l) {
  std::vector<std::string> ids(256), names(256), out(256);
  std::vector<int> count(256, 0);
  for (const Unit& unit : config.units) {
    if (unit.line != l) continue;
    const auto s = static_cast<size_t>(unit.station) & 0xFF;
    ids[s] += (count[s] ? ", " : "") + std::to_string(unit.id);
    if (!unit.name.empty()) names[s] += (names[s].empty() ? "" : ", ") + unit.name;
    ++count[s];
  }
  for (size_t s = 0; s < out.size(); ++s) {
    if (count[s] == 0) continue;
    out[s] = (count[s] == 1 ? "unit " : "units ") + ids[s] +
             (names[s].empty() ? "" : " (" + names[s] + ")");
  }
  return out;
}

}  // namespace

std::shared_ptr<Line> Gateway::MakeLine(const Config& config, const Plan& plan, size_t l) const {
  auto line = std::make_shared<Line>(config.lines[l], plan.lines[l].blocks, plan.lines[l].floorMs,
                                     zorMain_);
  if (pollSink_) line->SetPollSink(pollSink_);
  line->SetStationNames(StationNames(config, l));
  return line;
}

void Gateway::SetPollSink(PollSink sink) {
  pollSink_ = std::move(sink);
  for (auto& line : lines_) line->SetPollSink(pollSink_);
}

namespace {

bool SameLine(const LineConfig& a, const LinePlan& pa, const LineConfig& b, const LinePlan& pb) {
  const auto blocks = [](const LinePlan& p) {
    std::vector<std::tuple<int, char, uint32_t, uint32_t, uint32_t>> out;
    for (const Block& k : p.blocks)
      out.emplace_back(k.station, k.memory, k.first, k.count, k.pollMs);
    return out;
  };
  return a.name == b.name && a.port == b.port && a.line.baudRate == b.line.baudRate &&
         a.line.dataBits == b.line.dataBits && a.line.parity == b.line.parity &&
         a.line.stopBits == b.line.stopBits && a.instance == b.instance &&
         a.replyTimeoutMs == b.replyTimeoutMs && a.writeTimeoutMs == b.writeTimeoutMs &&
         blocks(pa) == blocks(pb);
}

}  // namespace

Gateway::Replaced Gateway::Reload(const Config& config, const Plan& plan) {
  Replaced result;
  std::vector<std::shared_ptr<Line>> lines;
  size_t kept = 0;
  for (size_t l = 0; l < config.lines.size(); ++l) {
    std::shared_ptr<Line> line;
    for (size_t o = 0; o < config_.lines.size(); ++o) {
      if (lines_[o] && SameLine(config_.lines[o], plan_.lines[o], config.lines[l], plan.lines[l])) {
        line = std::move(lines_[o]);
        line->SetStationNames(StationNames(config, l));
        ++kept;
        break;
      }
    }
    if (!line) {
      line = MakeLine(config, plan, l);
      result.fresh.push_back(line);
    }
    lines.push_back(std::move(line));
  }
  for (auto& old : lines_) {
    if (!old) continue;
    old->RequestStop();
    result.retired.push_back(std::move(old));
  }
  std::vector<std::shared_ptr<UnitCounters>> counters;
  for (const Unit& unit : config.units) {
    size_t u = 0;
    counters.push_back(FindUnit(unit.id, u) != nullptr ? unitCounters_[u]
                                                       : std::make_shared<UnitCounters>());
  }
  lines_ = std::move(lines);
  unitCounters_ = std::move(counters);
  config_ = config;
  plan_ = plan;
  unitIndex_.assign(256, -1);
  for (size_t u = 0; u < config_.units.size(); ++u) {
    unitIndex_[static_cast<size_t>(config_.units[u].id)] = static_cast<int>(u);
  }
  const auto count = [](size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  result.summary = std::to_string(kept) + " of " + count(config_.lines.size(), "line", "lines") +
                   " kept running, " + std::to_string(result.fresh.size()) + " started, " +
                   std::to_string(result.retired.size()) + " stopped; " +
                   count(config_.units.size(), "unit", "units") + ", " +
                   count(config_.clients.size(), "client rule", "client rules");
  return result;
}

Gateway::~Gateway() {
  Stop();
}

void Gateway::Start() {
  for (auto& line : lines_) line->Start();
}

void Gateway::Stop() {
  for (auto& line : lines_) line->RequestStop();
  for (auto& line : lines_) line->Join();
}

const Unit* Gateway::FindUnit(int unitId, size_t& index) const {
  if (unitId < 0 || unitId > 255 || unitIndex_[static_cast<size_t>(unitId)] < 0) return nullptr;
  index = static_cast<size_t>(unitIndex_[static_cast<size_t>(unitId)]);
  return &config_.units[index];
}

uint8_t Gateway::Read(int unitId, Kind kind, uint32_t address, uint32_t count,
                      std::vector<uint16_t>& out, Clock::time_point now) {
  if (unitId == config_.diagnosticsUnit) {
    if (kind != Kind::Holding && kind != Kind::Input) return kIllegalAddress;
    const std::vector<uint16_t> regs = DiagnosticRegisters(*this, now);
    if (address + count > regs.size()) return kIllegalAddress;
    out.assign(regs.begin() + address, regs.begin() + address + count);
    return kOk;
  }
  size_t u = 0;
  const Unit* unit = FindUnit(unitId, u);
  if (unit == nullptr) return kGatewayPath;
  UnitCounters& counters = *unitCounters_[u];
  counters.requests.Add();
  const Line& line = *lines_[unit->line];
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
  uint8_t result = kOk;
  std::shared_lock<std::shared_mutex> lock(line.CacheMutex());
  const std::vector<BlockState>& cache = line.Cache();
  for (uint32_t i = 0; i < count && result == kOk;) {
    const std::optional<size_t> t = TableAt(*unit, kind, address + i);
    if (!t) {
      result = kIllegalAddress;
      break;
    }
    const Table& table = unit->tables[*t];
    const std::vector<Ref>& refs = plan_.refs[u][*t];
    const auto maxAge = std::chrono::milliseconds(table.maxAgeMs);
    for (; i < count && address + i < table.address + table.count; ++i) {
      const uint32_t k = address + i - table.address;
      const Ref ref = refs[table.ElementOf(k) - table.FirstElement()];
      if (ref.block >= cache.size()) {
        result = kGatewayTarget;
        break;
      }
      const BlockState& state = cache[ref.block];
      // Never serve a value whose last read failed or that is too old.
      if (!state.good || now - state.goodAt > maxAge) {
        result = kGatewayTarget;
        break;
      }
      const uint16_t word = state.values[ref.offset];
      const int bit = table.BitOf(k);
      out[i] = bit >= 0 ? static_cast<uint16_t>((word >> bit) & 1) : word;
    }
  }
  if (result != kOk) counters.exceptions.Add();
  return result;
}

void Gateway::Submit(WriteRequest request, WriteDone done) {
  if (request.unit == config_.diagnosticsUnit) return done(kIllegalAddress, kNotSent);
  size_t u = 0;
  const Unit* unit = FindUnit(request.unit, u);
  if (unit == nullptr) return done(kGatewayPath, kNotSent);
  std::shared_ptr<UnitCounters> counters = unitCounters_[u];
  counters->requests.Add();
  if (request.kind != Kind::Holding && request.kind != Kind::Coil) {
    counters->exceptions.Add();
    return done(kIllegalFunction, kNotSent);
  }
  // Every element must be mapped before anything is written.
  std::vector<WriteJob> jobs;
  if (const uint8_t refused = SplitWrite(*unit, request, jobs); refused != kOk) {
    counters->exceptions.Add();
    return done(refused, kNotSent);
  }
  RunWriteChain(lines_[unit->line], std::move(jobs),
                [counters, done = std::move(done)](int32_t status) {
                  if (status != ZOR_OK) counters->exceptions.Add();
                  done(ExceptionForWrite(status), status);
                });
}

uint8_t Gateway::Write(int unitId, Kind kind, uint32_t address,
                       const std::vector<uint16_t>& values) {
  std::promise<uint8_t> result;
  std::future<uint8_t> answer = result.get_future();
  WriteAsync(unitId, kind, address, values,
             [&result](uint8_t code, int32_t) { result.set_value(code); });
  return answer.get();
}

uint32_t Gateway::UnitCacheAge(size_t u, Clock::time_point now) const {
  const Unit& unit = config_.units[u];
  const Line& line = *lines_[unit.line];
  std::shared_lock<std::shared_mutex> lock(line.CacheMutex());
  uint32_t age = 0;
  for (const std::vector<Ref>& refs : plan_.refs[u]) {
    for (const Ref& ref : refs) {
      if (ref.block >= line.Cache().size()) continue;
      const BlockState& state = line.Cache()[ref.block];
      age = std::max(age, state.everRead && state.goodAt != Clock::time_point{}
                              ? Ms(now - state.goodAt)
                              : std::numeric_limits<uint32_t>::max());
    }
  }
  return age;
}

uint32_t Gateway::UnitPollCycle(size_t u) const {
  const Unit& unit = config_.units[u];
  const Line& line = *lines_[unit.line];
  std::shared_lock<std::shared_mutex> lock(line.CacheMutex());
  uint32_t cycle = 0;
  for (const std::vector<Ref>& refs : plan_.refs[u]) {
    for (const Ref& ref : refs) {
      if (ref.block < line.Cache().size()) {
        cycle = std::max(cycle, line.Cache()[ref.block].intervalMs);
      }
    }
  }
  return cycle;
}

uint32_t Gateway::LineCacheAge(size_t l, Clock::time_point now) const {
  const Line& line = *lines_[l];
  std::shared_lock<std::shared_mutex> lock(line.CacheMutex());
  uint32_t age = 0;
  for (const BlockState& state : line.Cache()) {
    age = std::max(age, state.goodAt != Clock::time_point{} ? Ms(now - state.goodAt)
                                                            : std::numeric_limits<uint32_t>::max());
  }
  return age;
}

ClientCounters& Gateway::Client(const std::string& address) {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  for (auto& c : clientCounters_) {
    if (c->address == address) return *c;
  }
  constexpr size_t kMaxClientEntries = 256;
  const std::string key = clientCounters_.size() + 1 < kMaxClientEntries ? address : "other";
  for (auto& c : clientCounters_) {
    if (c->address == key) return *c;
  }
  clientCounters_.push_back(std::make_unique<ClientCounters>());
  clientCounters_.back()->address = key;
  return *clientCounters_.back();
}

std::vector<const ClientCounters*> Gateway::Clients() const {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  std::vector<const ClientCounters*> clients;
  for (const auto& c : clientCounters_) clients.push_back(c.get());
  return clients;
}

}  // namespace gateway
