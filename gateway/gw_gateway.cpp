#include "gateway/gw_gateway.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <future>
#include <limits>
#include <optional>
#include <sstream>
#include <tuple>

#include "host/log_lines.h"

namespace gateway {

namespace {

uint32_t Ms(Clock::duration d) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return static_cast<uint32_t>(std::clamp<int64_t>(ms, 0, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

Gateway::Gateway(const Config& config, const Plan& plan, ZorMainFn zorMain)
    : config_(config), plan_(plan), zorMain_(zorMain), unitIndex_(256, -1), started_(Clock::now()) {
  for (size_t l = 0; l < config_.lines.size(); ++l) {
    lines_.push_back(std::make_shared<Line>(config_.lines[l], plan_.lines[l].blocks,
                                            plan_.lines[l].floorMs, zorMain));
  }
  for (size_t u = 0; u < config_.units.size(); ++u) {
    unitIndex_[static_cast<size_t>(config_.units[u].id)] = static_cast<int>(u);
    unitCounters_.push_back(std::make_shared<UnitCounters>());
  }
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
        ++kept;
        break;
      }
    }
    if (!line) {
      line = std::make_shared<Line>(config.lines[l], plan.lines[l].blocks, plan.lines[l].floorMs,
                                    zorMain_);
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
  {
    std::unique_lock<std::shared_mutex> lock(linesMutex_);
    lines_ = std::move(lines);
  }
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
    const std::vector<uint16_t> regs = DiagnosticRegisters(now);
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
    const Table* found = nullptr;
    for (const Table& table : unit->tables) {
      if (table.kind == kind && at >= table.address && at < table.address + table.count) {
        found = &table;
        break;
      }
    }
    if (found == nullptr) {
      counters.exceptions.Add();
      return kIllegalAddress;
    }
    i += found->address + found->count - at;
  }
  uint8_t result = kOk;
  std::shared_lock<std::shared_mutex> lock(line.CacheMutex());
  const std::vector<BlockState>& cache = line.Cache();
  for (uint32_t i = 0; i < count && result == kOk;) {
    const uint32_t at = address + i;
    size_t t = 0;
    while (t < unit->tables.size() &&
           !(unit->tables[t].kind == kind && at >= unit->tables[t].address &&
             at < unit->tables[t].address + unit->tables[t].count)) {
      ++t;
    }
    if (t == unit->tables.size()) {
      result = kIllegalAddress;
      break;
    }
    const Table& table = unit->tables[t];
    const std::vector<Ref>& refs = plan_.refs[u][t];
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

void Gateway::WriteAsync(int unitId, Kind kind, uint32_t address,
                         const std::vector<uint16_t>& values, WriteDone done) {
  if (unitId == config_.diagnosticsUnit) return done(kIllegalAddress, kNotSent);
  size_t u = 0;
  const Unit* unit = FindUnit(unitId, u);
  if (unit == nullptr) return done(kGatewayPath, kNotSent);
  UnitCounters& counters = *unitCounters_[u];
  counters.requests.Add();
  if (kind != Kind::Holding && kind != Kind::Coil) {
    counters.exceptions.Add();
    return done(kIllegalFunction, kNotSent);
  }
  // Every element must be mapped before anything is written; then one job
  // per table the range crosses, in address order, each submitted when the
  // one before it has succeeded.
  struct Chain {
    std::vector<WriteJob> jobs;
    size_t next = 0;
    std::shared_ptr<Line> line;  // kept alive by the chain (a reload may retire it)
    std::shared_ptr<UnitCounters> counterOwner;
    UnitCounters* counters = nullptr;
    WriteDone done;
  };
  auto chain = std::make_shared<Chain>();
  const uint32_t count = static_cast<uint32_t>(values.size());
  for (uint32_t i = 0; i < count;) {
    const uint32_t at = address + i;
    const Table* found = nullptr;
    for (const Table& table : unit->tables) {
      if (table.kind == kind && at >= table.address && at < table.address + table.count) {
        found = &table;
      }
    }
    // A table that does not say `writable = true` has no writable address
    // (0x02, as for an address no table maps); half an F value is no value.
    const uint32_t n =
        found == nullptr ? 0 : std::min(count - i, found->address + found->count - at);
    const uint32_t k = found == nullptr ? 0 : at - found->address;
    if (found == nullptr || !found->writable ||
        (found->letter == 'F' && (k % 2 != 0 || n % 2 != 0))) {
      counters.exceptions.Add();
      return done(kIllegalAddress, kNotSent);
    }
    WriteJob job;
    job.station = unit->station;
    job.memory = found->Memory();
    job.element = found->letter == 'F' ? found->element + k : found->ElementOf(k);
    job.bit = found->BitOf(k);
    job.values.assign(values.begin() + i, values.begin() + i + n);
    if (found->letter == 'F' && found->lowWordFirst) {
      for (size_t w = 0; w + 1 < job.values.size(); w += 2)
        std::swap(job.values[w], job.values[w + 1]);
    }
    chain->jobs.push_back(std::move(job));
    i += n;
  }
  chain->line = lines_[unit->line];
  chain->counterOwner = unitCounters_[u];
  chain->counters = &counters;
  chain->done = std::move(done);
  // Submits the next piece; its completion submits the one after it.
  struct Step {
    static void Run(const std::shared_ptr<Chain>& c) {
      WriteJob& job = c->jobs[c->next++];
      job.done = [c](int32_t status) {
        if (status == 0 && c->next < c->jobs.size()) return Run(c);
        if (status != 0) c->counters->exceptions.Add();
        // No reply from the station, or not carried out: like a read, 0x0B.
        // Any other failure: 0x04.
        c->done(status == 0                                    ? kOk
                : status == kNotDone || status == kLineFailure ? kGatewayTarget
                                                               : kDeviceFailure,
                status);
      };
      c->line->Submit(std::move(job));
    }
  };
  Step::Run(chain);
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

void Gateway::NoteDriverLine(const std::string& text) {
  // "ZOR05: TW: ..." names the instance.
  const std::optional<int32_t> instance = zortw_host::LineInstance(text);
  if (!instance) return;
  std::shared_lock<std::shared_mutex> lock(linesMutex_);
  for (auto& line : lines_) {
    if (line->Config().instance == *instance) line->NoteDriverLine(text);
  }
}

namespace {

std::string AgeText(uint32_t ms) {
  return ms == std::numeric_limits<uint32_t>::max() ? "never read" : std::to_string(ms) + " ms";
}

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::Starting:
      return "starting";
    case Phase::Configuring:
      return "configuring the adapter";
    case Phase::Running:
      return "running";
    case Phase::PortFailed:
      return "down (opening the port again)";
    case Phase::Stopped:
      return "stopped";
  }
  return "?";
}

void Put32(std::vector<uint16_t>& regs, uint32_t at, uint64_t value) {
  const uint32_t v = static_cast<uint32_t>(std::min<uint64_t>(value, 0xFFFFFFFFu));
  regs[at] = static_cast<uint16_t>(v >> 16);
  regs[at + 1] = static_cast<uint16_t>(v & 0xFFFF);
}

}  // namespace

std::string Gateway::StatsText(Clock::time_point now) const {
  std::ostringstream out;
  for (size_t l = 0; l < lines_.size(); ++l) {
    const Line& line = *lines_[l];
    const LineCounters& c = line.Counters();
    char text[512];
    std::snprintf(text, sizeof text,
                  "stats line %s: %s, transactions %llu, failures %llu (line 2: %llu, invalid "
                  "65535: %llu, primitive: %llu, refused 1: %llu), retries seen %llu, writes %llu "
                  "(failed %llu, not carried out %llu), down %llu times, last status %d, poll "
                  "cycle %u ms (floor %.0f ms), cache age %s",
                  line.Config().name.c_str(), PhaseName(line.CurrentPhase()),
                  static_cast<unsigned long long>(c.transactions.Get()),
                  static_cast<unsigned long long>(c.failures.Get()),
                  static_cast<unsigned long long>(c.failLine.Get()),
                  static_cast<unsigned long long>(c.failInvalid.Get()),
                  static_cast<unsigned long long>(c.failPrimitive.Get()),
                  static_cast<unsigned long long>(c.failRefused.Get()),
                  static_cast<unsigned long long>(c.retries.Get()),
                  static_cast<unsigned long long>(c.writes.Get()),
                  static_cast<unsigned long long>(c.writeFailures.Get()),
                  static_cast<unsigned long long>(c.writesNotDone.Get()),
                  static_cast<unsigned long long>(c.downs.Get()), c.lastStatus.load(),
                  c.cycleMs.load(), line.FloorMs(), AgeText(LineCacheAge(l, now)).c_str());
    out << text << "\n";
  }
  for (size_t u = 0; u < config_.units.size(); ++u) {
    const Unit& unit = config_.units[u];
    const StationCounters& s =
        lines_[unit.line]->Counters().stations[static_cast<size_t>(unit.station)];
    char text[512];
    std::snprintf(
        text, sizeof text,
        "stats unit %d (line %s, station %02X): transactions %llu, failures %llu (line 2: "
        "%llu, invalid 65535: %llu, primitive: %llu, refused 1: %llu), retries seen %llu, "
        "last status %d, poll cycle %u ms, cache age %s, Modbus requests %llu, "
        "exceptions %llu",
        unit.id, config_.lines[unit.line].name.c_str(), unit.station,
        static_cast<unsigned long long>(s.transactions.Get()),
        static_cast<unsigned long long>(s.failures.Get()),
        static_cast<unsigned long long>(s.failLine.Get()),
        static_cast<unsigned long long>(s.failInvalid.Get()),
        static_cast<unsigned long long>(s.failPrimitive.Get()),
        static_cast<unsigned long long>(s.failRefused.Get()),
        static_cast<unsigned long long>(s.retries.Get()), s.lastStatus.load(), UnitPollCycle(u),
        AgeText(UnitCacheAge(u, now)).c_str(),
        static_cast<unsigned long long>(unitCounters_[u]->requests.Get()),
        static_cast<unsigned long long>(unitCounters_[u]->exceptions.Get()));
    out << text << "\n";
  }
  std::lock_guard<std::mutex> lock(clientsMutex_);
  for (const auto& c : clientCounters_) {
    out << "stats client " << c->address << ": connections " << c->connections.Get()
        << ", requests " << c->requests.Get() << ", writes " << c->writes.Get() << " (failed "
        << c->writeFailures.Get() << "), refusals " << c->refusals.Get() << "\n";
  }
  return out.str();
}

std::vector<uint16_t> Gateway::DiagnosticRegisters(Clock::time_point now) const {
  std::lock_guard<std::mutex> clientsLock(clientsMutex_);
  const size_t clients = std::min<size_t>(clientCounters_.size(), kDiagClients);
  std::vector<uint16_t> regs(clients > 0 ? kDiagClientBase + kDiagClientSize * clients
                                         : kDiagUnitBase + kDiagUnitSize * config_.units.size(),
                             0);
  regs[0] = 1;  // layout version
  regs[1] = static_cast<uint16_t>(lines_.size());
  regs[2] = static_cast<uint16_t>(config_.units.size());
  Put32(regs, 3, static_cast<uint64_t>(Ms(now - started_) / 1000));
  regs[5] = static_cast<uint16_t>(std::max(0, clients_.load()));
  Put32(regs, 6, refusedClients_.Get());
  Put32(regs, 8, closedClients_.Get());
  for (size_t l = 0; l < lines_.size() && kDiagLineBase + kDiagLineSize * (l + 1) <= kDiagUnitBase;
       ++l) {
    const Line& line = *lines_[l];
    const LineCounters& c = line.Counters();
    const uint32_t b = kDiagLineBase + kDiagLineSize * static_cast<uint32_t>(l);
    Put32(regs, b + 0, c.transactions.Get());
    Put32(regs, b + 2, c.failures.Get());
    Put32(regs, b + 4, c.failLine.Get());
    Put32(regs, b + 6, c.failInvalid.Get());
    Put32(regs, b + 8, c.failPrimitive.Get());
    Put32(regs, b + 10, c.failRefused.Get());
    Put32(regs, b + 12, c.retries.Get());
    regs[b + 14] = static_cast<uint16_t>(c.lastStatus.load() & 0xFFFF);
    regs[b + 15] = c.lastStatus.load() == -1 ? 0 : 1;
    Put32(regs, b + 16, c.cycleMs.load());
    Put32(regs, b + 18, static_cast<uint64_t>(line.FloorMs() + 0.5));
    Put32(regs, b + 20, LineCacheAge(l, now));
    regs[b + 22] = static_cast<uint16_t>(line.CurrentPhase());
    Put32(regs, b + 23, c.writes.Get());
    Put32(regs, b + 25, c.writeFailures.Get());
    Put32(regs, b + 27, c.cycles.load());
    Put32(regs, b + 29, c.writesNotDone.Get());
    regs[b + 31] = static_cast<uint16_t>(std::min<uint64_t>(c.downs.Get(), 0xFFFF));
  }
  for (size_t u = 0; u < config_.units.size(); ++u) {
    const Unit& unit = config_.units[u];
    const StationCounters& s =
        lines_[unit.line]->Counters().stations[static_cast<size_t>(unit.station)];
    const uint32_t b = kDiagUnitBase + kDiagUnitSize * static_cast<uint32_t>(u);
    regs[b + 0] = static_cast<uint16_t>(unit.id);
    regs[b + 1] = static_cast<uint16_t>(unit.station);
    regs[b + 2] = static_cast<uint16_t>(unit.line);
    Put32(regs, b + 3, s.transactions.Get());
    Put32(regs, b + 5, s.failures.Get());
    regs[b + 7] = static_cast<uint16_t>(s.lastStatus.load() & 0xFFFF);
    Put32(regs, b + 8, UnitCacheAge(u, now));
    Put32(regs, b + 10, unitCounters_[u]->requests.Get());
    Put32(regs, b + 12, unitCounters_[u]->exceptions.Get());
    Put32(regs, b + 14, s.failLine.Get());
    Put32(regs, b + 16, s.failInvalid.Get());
    Put32(regs, b + 18, s.failPrimitive.Get());
    Put32(regs, b + 20, s.failRefused.Get());
    Put32(regs, b + 22, s.retries.Get());
    Put32(regs, b + 24, UnitPollCycle(u));
  }
  // Clients in the order first seen: the address as IPv6 (IPv4 mapped), then counters.
  for (size_t i = 0; i < clients; ++i) {
    const ClientCounters& c = *clientCounters_[i];
    const uint32_t b = kDiagClientBase + kDiagClientSize * static_cast<uint32_t>(i);
    uint8_t bytes[16] = {};
    in_addr v4{};
    if (inet_pton(AF_INET, c.address.c_str(), &v4) == 1) {
      bytes[10] = bytes[11] = 0xFF;
      std::memcpy(bytes + 12, &v4, 4);
    } else {
      inet_pton(AF_INET6, c.address.c_str(), bytes);  // "other" stays ::
    }
    for (uint32_t w = 0; w < 8; ++w) {
      regs[b + w] = static_cast<uint16_t>((bytes[2 * w] << 8) | bytes[2 * w + 1]);
    }
    Put32(regs, b + 8, c.requests.Get());
    Put32(regs, b + 10, c.writes.Get());
    Put32(regs, b + 12, c.writeFailures.Get());
    Put32(regs, b + 14, c.refusals.Get());
  }
  return regs;
}

namespace {

// A label value in the text format: backslash, quote and newline escaped.
std::string Label(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (ch == '\\' || ch == '"') out += '\\';
    if (ch == '\n') {
      out += "\\n";
      continue;
    }
    out += ch;
  }
  return out;
}

// One metric family: its help, its type and its samples.
class Family {
 public:
  Family(std::ostringstream& out, const char* name, const char* type, const char* help)
      : out_(out), name_(name) {
    out_ << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
  }
  void Add(const std::string& labels, double value) {
    out_ << name_ << (labels.empty() ? "" : "{" + labels + "}") << " ";
    if (value == std::numeric_limits<double>::infinity()) {
      out_ << "+Inf";
    } else {
      out_ << value;
    }
    out_ << "\n";
  }

 private:
  std::ostringstream& out_;
  const char* name_;
};

double Seconds(uint32_t ms) {
  return ms == std::numeric_limits<uint32_t>::max() ? std::numeric_limits<double>::infinity()
                                                    : ms / 1000.0;
}

}  // namespace

std::string Gateway::MetricsText(Clock::time_point now) const {
  std::ostringstream out;
  out.precision(15);
  Family(out, "tiway_gateway_info", "gauge", "The gateway's version.")
      .Add("version=\"" + Label(ZORTW_VERSION) + "\"", 1);
  Family(out, "tiway_gateway_uptime_seconds", "gauge", "Seconds since the gateway started.")
      .Add("", std::chrono::duration<double>(now - started_).count());
  Family(out, "tiway_gateway_connections", "gauge", "Modbus connections open.")
      .Add("", std::max(0, clients_.load()));
  Family(out, "tiway_gateway_connections_refused_total", "counter",
         "Modbus connections refused (no rule, no slot, no descriptor).")
      .Add("", static_cast<double>(refusedClients_.Get()));
  Family(out, "tiway_gateway_connections_closed_total", "counter",
         "Modbus connections the gateway closed.")
      .Add("", static_cast<double>(closedClients_.Get()));

  const auto lineLabel = [&](size_t l) {
    return "line=\"" + Label(lines_[l]->Config().name) + "\"";
  };
  {
    Family up(out, "tiway_gateway_line_up", "gauge", "1 while the line runs, 0 otherwise.");
    for (size_t l = 0; l < lines_.size(); ++l) {
      up.Add(lineLabel(l), lines_[l]->CurrentPhase() == Phase::Running ? 1 : 0);
    }
  }
  {
    Family phase(out, "tiway_gateway_line_phase", "gauge",
                 "0 starting, 1 configuring the adapter, 2 running, 3 down, 4 stopped.");
    for (size_t l = 0; l < lines_.size(); ++l) {
      phase.Add(lineLabel(l), static_cast<int>(lines_[l]->CurrentPhase()));
    }
  }
  {
    Family f(out, "tiway_gateway_line_transactions_total", "counter", "Driver block commands.");
    for (size_t l = 0; l < lines_.size(); ++l) {
      f.Add(lineLabel(l), static_cast<double>(lines_[l]->Counters().transactions.Get()));
    }
  }
  {
    Family f(out, "tiway_gateway_line_failures_total", "counter",
             "Failed transactions by status: 2 (no reply), 65535 (invalid reply), primitive, 1.");
    for (size_t l = 0; l < lines_.size(); ++l) {
      const LineCounters& c = lines_[l]->Counters();
      f.Add(lineLabel(l) + ",status=\"2\"", static_cast<double>(c.failLine.Get()));
      f.Add(lineLabel(l) + ",status=\"65535\"", static_cast<double>(c.failInvalid.Get()));
      f.Add(lineLabel(l) + ",status=\"primitive\"", static_cast<double>(c.failPrimitive.Get()));
      f.Add(lineLabel(l) + ",status=\"1\"", static_cast<double>(c.failRefused.Get()));
    }
  }
  {
    Family f(out, "tiway_gateway_line_reopens_total", "counter",
             "Times the line went down and its port was opened again.");
    for (size_t l = 0; l < lines_.size(); ++l) {
      f.Add(lineLabel(l), static_cast<double>(lines_[l]->Counters().downs.Get()));
    }
  }
  {
    Family f(out, "tiway_gateway_line_writes_total", "counter", "Writes carried out.");
    for (size_t l = 0; l < lines_.size(); ++l) {
      f.Add(lineLabel(l), static_cast<double>(lines_[l]->Counters().writes.Get()));
    }
  }
  {
    Family f(out, "tiway_gateway_line_cache_age_seconds", "gauge",
             "Age of the oldest good read of the line (+Inf: a block never read well).");
    for (size_t l = 0; l < lines_.size(); ++l) f.Add(lineLabel(l), Seconds(LineCacheAge(l, now)));
  }
  const auto unitLabel = [&](size_t u) {
    return "unit=\"" + std::to_string(config_.units[u].id) + "\",line=\"" +
           Label(config_.lines[config_.units[u].line].name) + "\"";
  };
  {
    Family f(out, "tiway_gateway_unit_requests_total", "counter", "Modbus requests to the unit.");
    for (size_t u = 0; u < config_.units.size(); ++u) {
      f.Add(unitLabel(u), static_cast<double>(unitCounters_[u]->requests.Get()));
    }
  }
  {
    Family f(out, "tiway_gateway_unit_exceptions_total", "counter",
             "Modbus exceptions the unit answered.");
    for (size_t u = 0; u < config_.units.size(); ++u) {
      f.Add(unitLabel(u), static_cast<double>(unitCounters_[u]->exceptions.Get()));
    }
  }
  {
    Family f(out, "tiway_gateway_unit_cache_age_seconds", "gauge",
             "Age of the oldest good read the unit serves (+Inf: never read well).");
    for (size_t u = 0; u < config_.units.size(); ++u)
      f.Add(unitLabel(u), Seconds(UnitCacheAge(u, now)));
  }
  std::lock_guard<std::mutex> lock(clientsMutex_);
  const std::pair<const char*, Counter ClientCounters::*> kClient[] = {
      {"connections", &ClientCounters::connections},
      {"requests", &ClientCounters::requests},
      {"writes", &ClientCounters::writes},
      {"write_failures", &ClientCounters::writeFailures},
      {"refusals", &ClientCounters::refusals}};
  for (const auto& [name, member] : kClient) {
    const std::string family = std::string("tiway_gateway_client_") + name + "_total";
    const std::string help = std::string("Per client address: ") + name + ".";
    Family f(out, family.c_str(), "counter", help.c_str());
    for (const auto& c : clientCounters_) {
      f.Add("client=\"" + Label(c->address) + "\"", static_cast<double>(((*c).*member).Get()));
    }
  }
  return out.str();
}

std::string Gateway::Progress(Clock::time_point now) const {
  std::string text;
  for (const auto& line : lines_) {
    const Phase phase = line->CurrentPhase();
    if (phase != Phase::Configuring && phase != Phase::Starting) continue;
    text += (text.empty() ? "" : "; ") + std::string("line ") + line->Config().name + " (" +
            line->Config().port + "): " + PhaseName(phase) + ", " +
            std::to_string(Ms(now - line->PhaseSince()) / 1000) + " s (about 10 s)";
  }
  return text;
}

}  // namespace gateway
