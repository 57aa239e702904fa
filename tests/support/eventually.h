// Waiting in tests on a condition with a bound: the condition is asked
// again every `every` until it holds or `limit` has passed. Tests never
// synchronise by sleeping alone.
#pragma once

#include <chrono>
#include <thread>

namespace test_support {

template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(60),
                std::chrono::milliseconds every = std::chrono::milliseconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(every);
  }
  return true;
}

}  // namespace test_support
