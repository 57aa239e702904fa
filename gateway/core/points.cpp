#include "gateway/core/points.h"

namespace gateway {

const char* QualityText(Quality quality) {
  switch (quality) {
    case Quality::Good:
      return "good";
    case Quality::NeverRead:
      return "never read";
    case Quality::Failed:
      return "last poll failed";
    case Quality::Stale:
      return "older than max_age_ms";
  }
  return "unknown";
}

Quality QualityOf(const BlockState& state, uint32_t maxAgeMs, Clock::time_point now) {
  if (!state.good) return state.everRead ? Quality::Failed : Quality::NeverRead;
  if (now - state.goodAt > std::chrono::milliseconds(maxAgeMs)) return Quality::Stale;
  return Quality::Good;
}

void PollQueue::Push(PollResult result) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.size() >= capacity_) {
      ++dropped_;
      return;
    }
    items_.push_back(std::move(result));
  }
  if (wake_) wake_();
}

std::vector<PollResult> PollQueue::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<PollResult> out(std::make_move_iterator(items_.begin()),
                              std::make_move_iterator(items_.end()));
  items_.clear();
  return out;
}

void PollQueue::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  items_.clear();
}

uint64_t PollQueue::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

std::string StatusText(int32_t status) {
  if (status == kNotSent) return "none (not sent)";
  if (status == kNotDone) return "none (not carried out)";
  return std::to_string(status);
}

std::string AuditText(const std::string& actor, const std::string& what, int32_t status,
                      const std::string& outcome, const std::string& why) {
  std::string text = "audit: write from " + actor + " " + what + ": status " + StatusText(status);
  if (!outcome.empty()) text += ", " + outcome;
  if (!why.empty()) text += " (" + why + ")";
  return text;
}

}  // namespace gateway
