// The line's write queue: writes queued ahead of the polls, refused at once
// or answered kNotDone when they wait too long, and carried out through the
// driver in blocks (or one single-bit write per bit), the cache following.
#include <algorithm>

#include "gateway/core/line.h"

namespace gateway {

void Line::Submit(WriteJob job) {
  const auto latest = Clock::now() + std::chrono::milliseconds(config_.writeTimeoutMs);
  if (job.deadline == Clock::time_point{} || job.deadline > latest) job.deadline = latest;
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
    for (auto it = writes_.begin(); it != writes_.end();) {
      if (now > it->deadline) {
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

}  // namespace gateway
