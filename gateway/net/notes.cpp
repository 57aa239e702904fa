#include "gateway/net/notes.h"

namespace gateway::net {

void Notes::Note(const std::string& text) {
  const auto now = Clock::now();
  if (now - window_ > std::chrono::seconds(10)) {
    if (suppressed_ > 0)
      Log(std::to_string(suppressed_) + " more connection events were not logged");
    window_ = now;
    notes_ = 0;
    suppressed_ = 0;
  }
  if (++notes_ <= 20) {
    Log(text);
  } else {
    ++suppressed_;
  }
}

}  // namespace gateway::net
