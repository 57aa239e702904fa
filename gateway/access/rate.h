// Rates as token buckets of one second: `rate` events at once, refilled at
// `rate` a second. Pure policy: the caller keeps a bucket per client address.
#pragma once

#include <chrono>

namespace gateway::access {

struct Bucket {
  double tokens = 0;
  std::chrono::steady_clock::time_point at{};  // last taken from; never: full
};

// Takes one event from the bucket at `now`; false when the bucket is empty
// (the event is over the rate). `rate` > 0.
bool Take(Bucket& bucket, int rate, std::chrono::steady_clock::time_point now);

// Whether the bucket has filled up again by `now`: it can be forgotten.
bool Full(const Bucket& bucket, int rate, std::chrono::steady_clock::time_point now);

}  // namespace gateway::access
