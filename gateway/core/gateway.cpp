#include "gateway/core/gateway.h"

#include <algorithm>
#include <future>
#include <limits>
#include <shared_mutex>
#include <tuple>

#include "gateway/core/log.h"

namespace gateway {

uint32_t Ms(Clock::duration d) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  return static_cast<uint32_t>(std::clamp<int64_t>(ms, 0, std::numeric_limits<uint32_t>::max()));
}

// The lines' order and the subscribers: line threads publish through it,
// the event loop changes it (a reload, a subscription).
struct Gateway::PollHub {
  std::mutex mutex;  // guards lines and queues
  std::vector<const Line*> lines;
  std::vector<std::shared_ptr<PollQueue>> queues;

  // Pushes under the hub's lock (a queue's own lock is taken inside it,
  // never the other way round), so that once Unsubscribe returns no line
  // thread pushes to, or wakes, that subscriber.
  void Publish(const Line& line, size_t block, bool good, std::vector<uint16_t> values,
               Clock::time_point at) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = std::find(lines.begin(), lines.end(), &line);
    if (found == lines.end()) return;  // a retired line's last poll
    const size_t index = static_cast<size_t>(found - lines.begin());
    for (size_t q = 0; q < queues.size(); ++q) {
      queues[q]->Push(
          PollResult{index, block, good, q + 1 < queues.size() ? values : std::move(values), at});
    }
  }
  void SetLines(const std::vector<std::shared_ptr<Line>>& all) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.clear();
    for (const auto& line : all) lines.push_back(line.get());
  }
};

Gateway::Gateway(const Config& config, const Plan& plan, ZorMainFn zorMain)
    : config_(config),
      plan_(plan),
      zorMain_(zorMain),
      hub_(std::make_shared<PollHub>()),
      unitIndex_(256, -1),
      started_(Clock::now()) {
  for (size_t l = 0; l < config_.lines.size(); ++l) lines_.push_back(MakeLine(config_, plan_, l));
  hub_->SetLines(lines_);
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
  line->SetPollHook([hub = hub_](const Line& from, size_t block, bool good,
                                 std::vector<uint16_t> values, Clock::time_point at) {
    hub->Publish(from, block, good, std::move(values), at);
  });
  line->SetStationNames(StationNames(config, l));
  return line;
}

void Gateway::Subscribe(std::shared_ptr<PollQueue> queue) {
  std::lock_guard<std::mutex> lock(hub_->mutex);
  hub_->queues.push_back(std::move(queue));
}

void Gateway::Unsubscribe(const PollQueue* queue) {
  std::lock_guard<std::mutex> lock(hub_->mutex);
  std::erase_if(hub_->queues, [queue](const auto& q) { return q.get() == queue; });
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
  hub_->SetLines(lines_);
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

std::vector<Sample> Gateway::ReadTable(size_t u, size_t t, uint32_t first, uint32_t count,
                                       Clock::time_point now) const {
  const Unit& unit = config_.units[u];
  const Table& table = unit.tables[t];
  const std::vector<Ref>& refs = plan_.refs[u][t];
  const Line& line = *lines_[unit.line];
  std::vector<Sample> out(count);
  std::shared_lock<std::shared_mutex> lock(line.CacheMutex());
  const std::vector<BlockState>& cache = line.Cache();
  for (uint32_t k = 0; k < count; ++k) {
    if (first + k >= refs.size() || refs[first + k].block >= cache.size()) continue;
    const Ref ref = refs[first + k];
    const BlockState& state = cache[ref.block];
    Sample& sample = out[k];
    if (ref.offset < state.values.size()) sample.word = state.values[ref.offset];
    sample.quality = QualityOf(state, table.maxAgeMs, now);
    sample.readAt = state.goodAt;
  }
  return out;
}

std::vector<std::vector<Sample>> Gateway::ReadUnit(size_t u, Clock::time_point now) const {
  std::vector<std::vector<Sample>> out;
  for (size_t t = 0; t < config_.units[u].tables.size(); ++t) {
    out.push_back(ReadTable(u, t, 0, static_cast<uint32_t>(plan_.refs[u][t].size()), now));
  }
  return out;
}

std::vector<std::vector<Sample>> Gateway::ReadTags(size_t u, Clock::time_point now) const {
  const Unit& unit = config_.units[u];
  const Line& line = *lines_[unit.line];
  std::vector<std::vector<Sample>> out(unit.tags.size());
  std::shared_lock<std::shared_mutex> lock(line.CacheMutex());
  const std::vector<BlockState>& cache = line.Cache();
  for (size_t t = 0; t < unit.tags.size(); ++t) {
    for (const Ref& ref : plan_.tagRefs[u][t]) {
      Sample sample;
      if (ref.block < cache.size()) {
        const BlockState& state = cache[ref.block];
        if (ref.offset < state.values.size()) sample.word = state.values[ref.offset];
        sample.quality = QualityOf(state, unit.tags[t].maxAgeMs, now);
        sample.readAt = state.goodAt;
      }
      out[t].push_back(sample);
    }
  }
  return out;
}

std::vector<std::vector<Ref>> Gateway::UnitRefs(size_t u) const {
  std::vector<std::vector<Ref>> all = plan_.refs[u];
  all.insert(all.end(), plan_.tagRefs[u].begin(), plan_.tagRefs[u].end());
  return all;
}

namespace {

// Whether every element a piece covers (V bits: every word) lies in a
// writable table of its memory that holds such points (bits or elements),
// or the piece is exactly a writable tag's words (or its bit).
bool Writable(const Unit& unit, const PointWrite& piece) {
  if (piece.values.empty()) return false;
  for (const Tag& tag : unit.tags) {
    if (tag.writable && tag.Memory() == piece.memory && tag.element == piece.element &&
        tag.bit == piece.bit && piece.values.size() == tag.Words()) {
      return true;
    }
  }
  const uint32_t n = static_cast<uint32_t>(piece.values.size());
  const uint32_t last = piece.bit >= 0
                            ? piece.element + (static_cast<uint32_t>(piece.bit) + n - 1) / 16
                            : piece.element + n - 1;
  for (uint32_t e = piece.element; e <= last; ++e) {
    const bool held = std::any_of(unit.tables.begin(), unit.tables.end(), [&](const Table& t) {
      return t.writable && t.Memory() == piece.memory && (t.bit >= 0) == (piece.bit >= 0) &&
             e >= t.FirstElement() && e <= t.LastElement();
    });
    if (!held) return false;
  }
  return true;
}

}  // namespace

void Gateway::Submit(WriteOrder order, WriteDone done) {
  auto finish = [actor = order.actor, what = order.what, outcome = std::move(order.outcome),
                 done = std::move(done)](int32_t status, const std::string& why) {
    Log(AuditText(actor, what, status, outcome ? outcome(status) : std::string(), why));
    if (done) done(status);
  };
  size_t u = 0;
  const Unit* unit = FindUnit(order.unit, u);
  if (unit == nullptr) return finish(kNotSent, "no such unit");
  std::vector<WriteJob> jobs;
  for (PointWrite& piece : order.pieces) {
    if (!Writable(*unit, piece)) return finish(kNotSent, "not a writable address");
    WriteJob job;
    job.station = unit->station;
    job.memory = piece.memory;
    job.element = piece.element;
    job.bit = piece.bit;
    job.values = std::move(piece.values);
    job.actor = order.actor;
    jobs.push_back(std::move(job));
  }
  const std::shared_ptr<Line>& line = lines_[unit->line];
  const auto latest = Clock::now() + std::chrono::milliseconds(line->Config().writeTimeoutMs);
  const auto deadline =
      order.deadline == Clock::time_point{} || order.deadline > latest ? latest : order.deadline;
  for (WriteJob& job : jobs) job.deadline = deadline;
  expiry_.Watch(line, deadline);
  RunWriteChain(line, std::move(jobs),
                [finish = std::move(finish)](int32_t status) { finish(status, ""); });
}

uint32_t Gateway::UnitCacheAge(size_t u, Clock::time_point now) const {
  const Unit& unit = config_.units[u];
  const Line& line = *lines_[unit.line];
  std::shared_lock<std::shared_mutex> lock(line.CacheMutex());
  uint32_t age = 0;
  for (const std::vector<Ref>& refs : UnitRefs(u)) {
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
  for (const std::vector<Ref>& refs : UnitRefs(u)) {
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
