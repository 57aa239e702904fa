#include "gateway/access/rate.h"

#include <algorithm>

namespace gateway::access {

namespace {

double Refilled(const Bucket& bucket, int rate, std::chrono::steady_clock::time_point now) {
  if (bucket.at == std::chrono::steady_clock::time_point{}) return rate;
  const double seconds = std::chrono::duration<double>(now - bucket.at).count();
  return std::min<double>(rate, bucket.tokens + seconds * rate);
}

}  // namespace

bool Take(Bucket& bucket, int rate, std::chrono::steady_clock::time_point now) {
  bucket.tokens = Refilled(bucket, rate, now);
  bucket.at = now;
  if (bucket.tokens < 1) return false;
  bucket.tokens -= 1;
  return true;
}

bool Full(const Bucket& bucket, int rate, std::chrono::steady_clock::time_point now) {
  return Refilled(bucket, rate, now) >= rate;
}

}  // namespace gateway::access
