// The write path from an order to the line: its pieces run one after
// another on the line's thread, and writes whose deadline passes while
// their line is busy answered at that moment.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "gateway/core/line.h"

namespace gateway {

// Submits each job to `line` once the one before it has succeeded; `done`
// gets the first failed status, or ZOR_OK after the last, once.
void RunWriteChain(std::shared_ptr<Line> line, std::vector<WriteJob> jobs,
                   std::function<void(int32_t status)> done);

// One thread that waits for the earliest deadline of the writes queued and
// asks their lines to answer what is past its time (a line in a long
// transaction cannot). Owned by the core; Watch from any thread.
class WriteExpiry {
 public:
  WriteExpiry();
  ~WriteExpiry();
  WriteExpiry(const WriteExpiry&) = delete;
  WriteExpiry& operator=(const WriteExpiry&) = delete;
  void Watch(std::weak_ptr<Line> line, Clock::time_point deadline);

 private:
  void Run();
  std::mutex mutex_;  // guards due_ and stop_
  std::condition_variable wake_;
  std::multimap<Clock::time_point, std::weak_ptr<Line>> due_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace gateway
