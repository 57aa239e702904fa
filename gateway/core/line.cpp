#include "gateway/core/line.h"

#include <algorithm>
#include <cstdio>

#include "host/log_lines.h"
#include "host/status.h"

namespace gateway {

namespace {

std::string Hex2(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

// The faults of a whole station: one message per station, whichever block
// saw them. Any other failure is the block's.
bool StationFault(int32_t status) {
  return status == ZOR_LINE_FAILURE || status == ZOR_PRIMITIVE_NO_STATION ||
         status == ZOR_PRIMITIVE_NOT_CONNECTED;
}

// A failed read's status in words, with what to check.
std::string FaultText(int32_t status) {
  switch (status) {
    case ZOR_LINE_FAILURE:
      return "does not answer (no good reply in three attempts); check that the station is "
             "powered and on the network, and its station number";
    case ZOR_REFUSED:
      return "the driver refused the read (the instance is not active)";
    case ZOR_REPLY_INVALID:
      return "invalid replies (status 65535: malformed, or a checksum mismatch); check the "
             "line for noise and the line settings";
    default:
      break;
  }
  if (status > 0 && status < 0x10000) {
    std::string meaning = zortw_host::PrimitiveErrorMeaning(status);
    if (const size_t colon = meaning.find(": "); colon != std::string::npos) {
      meaning.erase(0, colon + 2);
    }
    return meaning + " (primitive error " + zortw_host::Hex4(status) + "); " +
           zortw_host::PrimitiveErrorAdvice(status);
  }
  return "status " + std::to_string(status);
}

}  // namespace

std::string PointText(int station, char memory, uint32_t element, int bit) {
  char text[16];
  if (bit >= 0) {
    std::snprintf(text, sizeof text, "%02X%c%04X%X", station, memory, element, bit);
  } else {
    std::snprintf(text, sizeof text, "%02X%c%04X", station, memory, element);
  }
  return text;
}

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::Starting:
      return "starting";
    case Phase::Configuring:
      return "configuring";
    case Phase::Running:
      return "running";
    case Phase::PortFailed:
      return "port failed";
    case Phase::Stopped:
      return "stopped";
    case Phase::ConfiguringFailed:
      return "configuring failed";
  }
  return "unknown";
}

Line::Line(const LineConfig& config, std::vector<Block> blocks, double floorMs, ZorMainFn zorMain)
    : config_(config),
      blocks_(std::move(blocks)),
      floorMs_(floorMs),
      instance_(zorMain, config.instance) {
  cache_.resize(blocks_.size());
  blockFault_.assign(blocks_.size(), ZOR_OK);
  for (size_t b = 0; b < blocks_.size(); ++b) cache_[b].values.assign(blocks_[b].count, 0);
  addresses_.resize(blocks_.size());
  defined_.assign(blocks_.size(), false);
  due_.assign(blocks_.size(), Clock::time_point{});
  phaseSince_ = Clock::now().time_since_epoch().count();
}

Line::~Line() {
  RequestStop();
  Join();
}

void Line::Start() {
  thread_ = std::thread([this] { Run(); });
}

void Line::RequestStop() {
  std::lock_guard<std::mutex> lock(queueMutex_);
  stop_ = true;
  wake_.notify_all();
}

void Line::Join() {
  if (thread_.joinable()) thread_.join();
}

Clock::time_point Line::PhaseSince() const {
  return Clock::time_point(Clock::duration(phaseSince_.load()));
}

void Line::SpoilCache() {
  std::unique_lock<std::shared_mutex> lock(cacheMutex_);
  for (BlockState& state : cache_) state.good = false;
}

void Line::StoreRead(size_t block, bool good, const std::vector<uint16_t>& values,
                     Clock::time_point at) {
  std::vector<uint16_t> stored;
  {
    std::unique_lock<std::shared_mutex> lock(cacheMutex_);
    BlockState& state = cache_[block];
    state.everRead = true;
    state.good = good;
    if (good) {
      state.values = values;
      state.goodAt = at;
    }
    if (pollHook_) stored = state.values;
  }
  if (pollHook_) pollHook_(*this, block, good, std::move(stored), at);
}

bool Line::WaitFor(std::chrono::milliseconds period) {
  std::unique_lock<std::mutex> lock(queueMutex_);
  wake_.wait_for(lock, period, [this] { return stop_; });
  return !stop_;
}

void Line::Account(int station, const zortw_host::Result& result, Clock::duration took) {
  // Failed attempts: the driver logs each bad reply; a silent attempt lasts
  // a whole reply time-out. A failed transaction made all three attempts.
  const int32_t status = result.status;
  const auto logged = static_cast<uint64_t>(zortw_host::CountReplyRefusals(result.log));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  const uint64_t silent = static_cast<uint64_t>(ms) / std::max<uint32_t>(1, config_.replyTimeoutMs);
  const uint64_t retried = status == ZOR_OK ? std::min<uint64_t>(2, logged + silent) : 2;
  if (status == ZOR_OK) {
    lastSuccess_ = Clock::now();
    failuresSinceSuccess_ = 0;
    quiet_ = std::chrono::seconds(10);
  } else {
    ++failuresSinceSuccess_;
  }
  // A silent station costs a whole reply time-out; a port that hangs up or
  // fails its I/O fails at once.
  const bool fast =
      status == ZOR_LINE_FAILURE && static_cast<uint64_t>(ms) * 4 < config_.replyTimeoutMs;
  fastFailures_ = fast ? fastFailures_ + 1 : 0;
  silent_[static_cast<size_t>(station) & 0xFF] = status == ZOR_LINE_FAILURE;
  counters_.Count(status, retried);
  counters_.stations[static_cast<size_t>(station) & 0xFF].Count(status, retried);
}

bool Line::ReadBlock(size_t index) {
  const Block& block = blocks_[index];
  const auto start = Clock::now();
  if (index == 0) {
    if (lastFirstRead_ != Clock::time_point{}) {
      counters_.cycleMs = static_cast<uint32_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(start - lastFirstRead_).count());
      counters_.cycles.fetch_add(1);
    }
    lastFirstRead_ = start;
  }
  {
    std::unique_lock<std::shared_mutex> lock(cacheMutex_);
    BlockState& state = cache_[index];
    if (state.lastStart != Clock::time_point{}) {
      state.intervalMs = static_cast<uint32_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(start - state.lastStart).count());
    }
    state.lastStart = start;
  }
  if (!defined_[index]) {
    StoreRead(index, false, {}, start);
    return false;
  }
  const bool discrete = block.memory != 'V';
  std::vector<uint16_t> data(2 * block.count + 2, 0);
  const zortw_host::Result read =
      instance_.Read(addresses_[index], static_cast<int32_t>(block.count), data.data());
  const int32_t status = read.status;
  const auto end = Clock::now();
  Account(block.station, read, end - start);
  std::vector<uint16_t> values(block.count, 0);
  if (status == ZOR_OK) {
    for (uint32_t k = 0; k < block.count; ++k) {
      if (discrete) {
        values[k] = data[2 * k + 1] & 1;
      } else {
        values[k] = block.count == 1 ? data[1] : data[k];
      }
    }
  }
  StoreRead(index, status == ZOR_OK, values, end);
  NoteReadStatus(index, status);
  if (status == ZOR_PRIMITIVE_NOT_CONNECTED && end - lastWarmStart_ > std::chrono::seconds(30)) {
    // The adapter forgot the station (reset or power cycle): configure it
    // again and reconnect the stations.
    lastWarmStart_ = end;
    Log("line " + config_.name + ": station " + Hex2(block.station) +
        " is not connected; WarmStart");
    const int32_t warm = instance_.WarmStart().status;
    Log("line " + config_.name + ": WarmStart returned " + std::to_string(warm));
  }
  return status == ZOR_OK;
}

void Line::NoteReadStatus(size_t index, int32_t status) {
  const Block& block = blocks_[index];
  const auto station = static_cast<size_t>(block.station) & 0xFF;
  std::string who;
  {
    std::lock_guard<std::mutex> lock(namesMutex_);
    if (station < names_.size() && !names_[station].empty()) who = names_[station] + ": ";
  }
  who += "station " + Hex2(block.station) + " on line " + config_.name;
  int32_t& stationWas = stationFault_[station];
  int32_t& blockWas = blockFault_[index];
  if (status == ZOR_OK) {
    if (stationWas != ZOR_OK) Log(who + ": answers again");
    if (blockWas != ZOR_OK) {
      Log(who + ": reads " + PointText(block.station, block.memory, block.first, -1) + " x" +
          std::to_string(block.count) + " again");
    }
    stationWas = blockWas = ZOR_OK;
    return;
  }
  if (StationFault(status)) {
    if (stationWas != status) Log(who + ": " + FaultText(status));
    stationWas = status;
    return;
  }
  if (stationWas != ZOR_OK) Log(who + ": answers again");
  stationWas = ZOR_OK;
  if (blockWas != status) {
    Log(who + ": reading " + PointText(block.station, block.memory, block.first, -1) + " x" +
        std::to_string(block.count) + ": " + FaultText(status));
  }
  blockWas = status;
}

void Line::Run() {
  bool running = StartInstance();
  bool pollOwed = false;  // a write went last: a due poll goes next
  while (running) {
    std::unique_lock<std::mutex> lock(queueMutex_);
    if (stop_) break;
    const auto now = Clock::now();
    size_t next = 0;
    for (size_t b = 1; b < blocks_.size(); ++b) {
      if (due_[b] < due_[next]) next = b;
    }
    const bool pollDue = !blocks_.empty() && due_[next] <= now;
    if (!writes_.empty() && !(pollOwed && pollDue)) {
      WriteJob job = std::move(writes_.front());
      writes_.pop_front();
      lock.unlock();
      if (now > job.deadline) {
        // Its asker has been waiting too long: it is answered kNotDone and
        // the write is dropped, never carried out later.
        counters_.writesNotDone.Add();
        job.done(kNotDone);
        continue;
      }
      counters_.writes.Add();
      const int32_t status = RunWrite(job);
      if (status != ZOR_OK) {
        counters_.writeFailures.Add();
        Log("line " + config_.name + ": write to " +
            PointText(job.station, job.memory, job.element, job.bit) +
            (job.actor.empty() ? "" : " by " + job.actor) + " failed with status " +
            std::to_string(status) + (status == kNotDone ? "" : ": " + FaultText(status)));
      }
      job.done(status);
      pollOwed = true;
      if (status != ZOR_OK && PortFailed(Clock::now())) running = Recover();
      continue;
    }
    if (blocks_.empty()) {
      wake_.wait(lock, [this] { return stop_ || !writes_.empty(); });
      continue;
    }
    if (!pollDue) {
      wake_.wait_until(lock, due_[next], [this] { return stop_ || !writes_.empty(); });
      continue;
    }
    lock.unlock();
    pollOwed = false;
    const bool good = ReadBlock(next);
    const auto period = std::chrono::milliseconds(blocks_[next].pollMs);
    due_[next] = std::max(due_[next] + period, blocks_[next].pollMs == 0 ? Clock::now() : now);
    if (!good && PortFailed(Clock::now())) running = Recover();
  }
  // Pending writes are not carried out.
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    stop_ = true;
  }
  FailQueuedWrites();
  if (haveContext_) {
    const int32_t status = instance_.Stop().status;
    Log("line " + config_.name + ": stopped (Stop " + std::to_string(status) + ")");
  }
  phase_ = Phase::Stopped;
}

}  // namespace gateway
