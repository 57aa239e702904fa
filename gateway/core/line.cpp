#include "gateway/core/line.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "host/log_lines.h"
#include "host/port_diagnosis.h"
#include "host/status.h"

namespace gateway {

namespace {

std::string PointText(int station, char memory, uint32_t element, int bit) {
  char text[16];
  if (bit >= 0) {
    std::snprintf(text, sizeof text, "%02X%c%04X%X", station, memory, element, bit);
  } else {
    std::snprintf(text, sizeof text, "%02X%c%04X", station, memory, element);
  }
  return text;
}

}  // namespace

Line::Line(const LineConfig& config, std::vector<Block> blocks, double floorMs, ZorMainFn zorMain)
    : config_(config),
      blocks_(std::move(blocks)),
      floorMs_(floorMs),
      instance_(zorMain, config.instance) {
  cache_.resize(blocks_.size());
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

void Line::Submit(WriteJob job) {
  job.queuedAt = Clock::now();
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    // A line that is down, or a station whose last transaction had no reply,
    // would only hold the write for the client's time-out: refused at once
    // (a poll that succeeds clears the station's mark).
    const bool refused = stop_ || phase_.load() != Phase::Running ||
                         silent_[static_cast<size_t>(job.station) & 0xFF].load();
    if (!refused) {
      writes_.push_back(std::move(job));
      wake_.notify_all();
      return;
    }
  }
  counters_.writesNotDone.Add();
  job.done(kNotDone);
}

void Line::FailQueuedWrites() {
  std::deque<WriteJob> failed;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    failed.swap(writes_);
  }
  for (WriteJob& job : failed) {
    counters_.writesNotDone.Add();
    job.done(kNotDone);
  }
}

void Line::ExpireWrites(Clock::time_point now) {
  std::deque<WriteJob> expired;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    const auto limit = std::chrono::milliseconds(config_.writeTimeoutMs);
    for (auto it = writes_.begin(); it != writes_.end();) {
      if (now - it->queuedAt > limit) {
        expired.push_back(std::move(*it));
        it = writes_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (WriteJob& job : expired) {
    counters_.writesNotDone.Add();
    job.done(kNotDone);
  }
}

void Line::SpoilCache() {
  std::unique_lock<std::shared_mutex> lock(cacheMutex_);
  for (BlockState& state : cache_) state.good = false;
}

void Line::StoreRead(size_t block, bool good, const std::vector<uint16_t>& values,
                     Clock::time_point at) {
  std::unique_lock<std::shared_mutex> lock(cacheMutex_);
  BlockState& state = cache_[block];
  state.everRead = true;
  state.good = good;
  if (good) {
    state.values = values;
    state.goodAt = at;
  }
}

bool Line::WaitFor(std::chrono::milliseconds period) {
  std::unique_lock<std::mutex> lock(queueMutex_);
  wake_.wait_for(lock, period, [this] { return stop_; });
  return !stop_;
}

bool Line::StartInstance() {
  ZorDriverInfo info{};
  if (!instance_.Info(info).ok() || info.contextSize <= 0) {
    Log("line " + config_.name + ": GetDriverInfo failed");
    return false;
  }
  haveContext_ = true;
  return OpenAndCheckBlocks();
}

bool Line::OpenAndCheckBlocks() {
  const auto readTimeout = static_cast<int32_t>(config_.replyTimeoutMs / 10);
  // Back-off between attempts: 0.5 s, doubling up to 5 s. The first five
  // failures are logged, then one in twelve (a minute apart).
  auto pause = std::chrono::milliseconds(500);
  for (int attempt = 1;; ++attempt) {
    phase_ = Phase::Configuring;
    phaseSince_ = Clock::now().time_since_epoch().count();
    const int32_t status = instance_.Start(config_.port, readTimeout, config_.line).status;
    if (status == ZOR_OK) break;
    phase_ = Phase::PortFailed;
    if (attempt <= 5 || attempt % 12 == 0) {
      // The cause of a port that does not open, as tiway names it.
      const std::string why = status == ZOR_LINE_FAILURE
                                  ? "cannot open port " + config_.port + ": " +
                                        zortw_host::DiagnosePort(config_.port, config_.line).text
                                  : zortw_host::StatusMeaning(status, zortw_host::Step::ColdStart);
      Log("line " + config_.name + ": ColdStart returned " + std::to_string(status) + " (" + why +
          "; attempt " + std::to_string(attempt) + "); trying again in " +
          std::to_string(pause.count()) + " ms");
    }
    if (!WaitFor(pause)) return false;
    pause = std::min<std::chrono::milliseconds>(2 * pause, std::chrono::seconds(5));
  }
  struct stat device {};
  haveDevice_ = stat(config_.port.c_str(), &device) == 0;
  deviceId_ = device.st_rdev;
  deviceInode_ = device.st_ino;
  lastSuccess_ = Clock::now();
  failuresSinceSuccess_ = 0;
  fastFailures_ = 0;
  for (auto& mark : silent_) mark = false;
  for (size_t b = 0; b < blocks_.size(); ++b) {
    const Block& block = blocks_[b];
    const std::string text = PointText(block.station, block.memory, block.first, -1);
    const int32_t status =
        instance_
            .CheckBlock(text, block.memory == 'V' ? ZOR_HOST_TYPE_WORD : ZOR_HOST_TYPE_BIT,
                        static_cast<int32_t>(block.count), addresses_[b])
            .status;
    defined_[b] = status == ZOR_OK;
    if (status != ZOR_OK) {
      Log("line " + config_.name + ": the driver refused the block " + text + " x" +
          std::to_string(block.count) + " (CheckBlock " + std::to_string(status) + ")");
    }
  }
  phase_ = Phase::Running;
  phaseSince_ = Clock::now().time_since_epoch().count();
  Log("line " + config_.name + ": running, " + std::to_string(blocks_.size()) +
      (blocks_.size() == 1 ? " read" : " reads") + " per cycle");
  return true;
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
  if (pollSink_) pollSink_(PollSeen{config_, block, index, status, values, end});
  if (status == ZOR_PRIMITIVE_NOT_CONNECTED && end - lastWarmStart_ > std::chrono::seconds(30)) {
    // The adapter forgot the station (reset or power cycle): configure it
    // again and reconnect the stations.
    lastWarmStart_ = end;
    Log("line " + config_.name + ": station " + std::to_string(block.station) +
        " is not connected; WarmStart");
    const int32_t warm = instance_.WarmStart().status;
    Log("line " + config_.name + ": WarmStart returned " + std::to_string(warm));
  }
  return status == ZOR_OK;
}

int32_t Line::RunWrite(const WriteJob& job) {
  const uint32_t count = static_cast<uint32_t>(job.values.size());
  if (job.bit >= 0) {
    // One single-bit write (read, modify, write of the word) per bit.
    for (uint32_t k = 0; k < count; ++k) {
      const uint32_t element = job.element + (static_cast<uint32_t>(job.bit) + k) / 16;
      const int bit = static_cast<int>((static_cast<uint32_t>(job.bit) + k) % 16);
      ZorPointAddress address{};
      if (!instance_.Define(PointText(job.station, 'V', element, bit), ZOR_HOST_TYPE_BIT, address)
               .ok()) {
        return ZOR_REFUSED;
      }
      uint16_t data[2] = {0, static_cast<uint16_t>(job.values[k] & 1)};
      if (const int32_t status = WriteElements(job, address, element, bit, 1, data);
          status != ZOR_OK) {
        return status;
      }
    }
    return ZOR_OK;
  }
  const uint32_t limit = MaxBlockElements(job.memory);
  for (uint32_t done = 0; done < count; done += limit) {
    const uint32_t n = std::min(limit, count - done);
    ZorPointAddress address{};
    if (!instance_
             .CheckBlock(PointText(job.station, job.memory, job.element + done, -1),
                         job.memory == 'V' ? ZOR_HOST_TYPE_WORD : ZOR_HOST_TYPE_BIT,
                         static_cast<int32_t>(n), address)
             .ok()) {
      return ZOR_REFUSED;
    }
    std::vector<uint16_t> data(n + 1, 0);
    for (uint32_t k = 0; k < n; ++k) data[k + 1] = job.values[done + k];
    if (const int32_t status = WriteElements(job, address, job.element + done, -1,
                                             static_cast<int32_t>(n), data.data());
        status != ZOR_OK) {
      return status;
    }
  }
  return ZOR_OK;
}

int32_t Line::WriteElements(const WriteJob& job, const ZorPointAddress& address, uint32_t element,
                            int bit, int32_t count, uint16_t* data) {
  const auto start = Clock::now();
  const zortw_host::Result written = instance_.Write(address, count, data);
  Account(job.station, written, Clock::now() - start);
  if (!written.ok()) return written.status;
  for (int32_t k = 0; k < count; ++k) {
    UpdateAfterWrite(job.station, job.memory, element + static_cast<uint32_t>(k), bit, data[k + 1]);
  }
  return ZOR_OK;
}

void Line::UpdateAfterWrite(int station, char memory, uint32_t element, int bit, uint16_t value) {
  std::unique_lock<std::shared_mutex> lock(cacheMutex_);
  for (size_t b = 0; b < blocks_.size(); ++b) {
    const Block& block = blocks_[b];
    if (block.station != station || block.memory != memory || element < block.first ||
        element > block.Last()) {
      continue;
    }
    uint16_t& word = cache_[b].values[element - block.first];
    if (bit >= 0) {
      word = static_cast<uint16_t>((word & ~(1u << bit)) | ((value & 1u) << bit));
    } else {
      word = memory == 'V' ? value : static_cast<uint16_t>(value & 1);
    }
  }
}

bool Line::PortFailed(Clock::time_point now) {
  // The device behind the port's name is gone or another one (a re-plugged
  // adapter, a restarted pty): the open handle is on a dead device.
  struct stat device {};
  const bool present = stat(config_.port.c_str(), &device) == 0;
  if (haveDevice_ && (!present || device.st_rdev != deviceId_ || device.st_ino != deviceInode_)) {
    Log("line " + config_.name + ": port " + config_.port +
        (present ? " now names another device" : " is gone"));
    return true;
  }
  // Three transactions in a row failed without waiting for a reply: the
  // port hangs up or fails its I/O.
  if (fastFailures_ >= 3) {
    Log("line " + config_.name + ": port " + config_.port +
        " fails at once (hang-up or I/O error)");
    return true;
  }
  // Nothing has succeeded for three transactions and 10 s (or three reply
  // time-outs when longer): a port that no longer carries anything, or
  // every station silent; opening the port and configuring the adapter
  // again cures the first and costs the second nothing it still had. Each
  // time it did not help, the wait doubles (up to 5 min).
  const auto quiet = std::max<std::chrono::milliseconds>(
      quiet_, std::chrono::milliseconds(3 * config_.replyTimeoutMs));
  if (failuresSinceSuccess_ >= 3 && now - lastSuccess_ >= quiet) {
    quiet_ = std::min<std::chrono::milliseconds>(2 * quiet_, std::chrono::minutes(5));
    Log("line " + config_.name + ": no transaction has succeeded for " +
        std::to_string(
            std::chrono::duration_cast<std::chrono::seconds>(now - lastSuccess_).count()) +
        " s (" + std::to_string(failuresSinceSuccess_) + " failures)");
    return true;
  }
  return false;
}

bool Line::Recover() {
  counters_.downs.Add();
  const auto downSince = Clock::now();
  phase_ = Phase::PortFailed;
  phaseSince_ = Clock::now().time_since_epoch().count();
  SpoilCache();
  FailQueuedWrites();
  const int32_t closed = instance_.Call(ZOR_CLOSE_PORT, nullptr).status;
  Log("line " + config_.name + ": down: port " + config_.port + " closed (ClosePort " +
      std::to_string(closed) + "); opening it again");
  if (!OpenAndCheckBlocks()) return false;
  Log("line " + config_.name + ": back up, " +
      std::to_string(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - downSince).count()) +
      " ms after it went down");
  for (auto& due : due_) due = Clock::time_point{};
  return true;
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
      if (now - job.queuedAt > std::chrono::milliseconds(config_.writeTimeoutMs)) {
        // The client has been waiting too long: it is answered 0x0B and
        // the write is dropped, never carried out later.
        counters_.writesNotDone.Add();
        job.done(kNotDone);
        continue;
      }
      counters_.writes.Add();
      const int32_t status = RunWrite(job);
      if (status != ZOR_OK) {
        counters_.writeFailures.Add();
        Log("line " + config_.name + ": write to station " + std::to_string(job.station) + " " +
            PointText(job.station, job.memory, job.element, job.bit) +
            (job.actor.empty() ? "" : " by " + job.actor) + " failed with status " +
            std::to_string(status));
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
