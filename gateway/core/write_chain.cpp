#include "gateway/core/write_chain.h"

#include <utility>

namespace gateway {

namespace {

struct Chain {
  std::vector<WriteJob> jobs;
  size_t next = 0;
  std::shared_ptr<Line> line;  // kept alive by the chain (a reload may retire it)
  std::function<void(int32_t)> done;
};

// Submits the next piece; its completion submits the one after it.
void Step(const std::shared_ptr<Chain>& chain) {
  WriteJob& job = chain->jobs[chain->next++];
  job.done = [chain](int32_t status) {
    if (status == ZOR_OK && chain->next < chain->jobs.size()) return Step(chain);
    chain->done(status);
  };
  chain->line->Submit(std::move(job));
}

}  // namespace

void RunWriteChain(std::shared_ptr<Line> line, std::vector<WriteJob> jobs,
                   std::function<void(int32_t status)> done) {
  if (jobs.empty()) return done(ZOR_OK);
  auto chain = std::make_shared<Chain>();
  chain->jobs = std::move(jobs);
  chain->line = std::move(line);
  chain->done = std::move(done);
  Step(chain);
}

WriteExpiry::WriteExpiry() : thread_([this] { Run(); }) {}

WriteExpiry::~WriteExpiry() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void WriteExpiry::Watch(std::weak_ptr<Line> line, Clock::time_point deadline) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A write is late once the clock is past its deadline.
    due_.emplace(deadline + std::chrono::milliseconds(1), std::move(line));
  }
  wake_.notify_all();
}

void WriteExpiry::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (due_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const auto first = due_.begin()->first;
    if (Clock::now() < first) {
      wake_.wait_until(lock, first);
      continue;
    }
    const auto now = Clock::now();
    std::vector<std::shared_ptr<Line>> lines;
    for (auto it = due_.begin(); it != due_.end() && it->first <= now; it = due_.erase(it)) {
      if (auto line = it->second.lock()) lines.push_back(std::move(line));
    }
    lock.unlock();
    for (auto& line : lines) line->ExpireWrites(now);
    lines.clear();  // a retired line's last reference may go here, off the lock
    lock.lock();
  }
}

}  // namespace gateway
