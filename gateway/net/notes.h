// Connection events in the log (refusals, closes, refused reads), at most 20
// lines per 10 s; the rest are counted and said once.
#pragma once

#include <string>

#include "gateway/core/line.h"

namespace gateway::net {

class Notes {
 public:
  void Note(const std::string& text);

 private:
  Clock::time_point window_{};
  int notes_ = 0, suppressed_ = 0;
};

}  // namespace gateway::net
