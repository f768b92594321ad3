#include "platform/flush_schedule.h"

#include <algorithm>
#include <utility>

namespace kestrel {

void FlushSchedule::written(const std::string& path) {
  if (std::find(waiting_.begin(), waiting_.end(), path) == waiting_.end()) {
    waiting_.push_back(path);
  }
}

std::vector<std::string> FlushSchedule::take_due(Time now) {
  const std::optional<Time> due = next_due();
  if (!due || now < *due) return {};
  return take_all(now);
}

std::vector<std::string> FlushSchedule::take_all(Time now) {
  if (waiting_.empty()) return {};
  last_flush_ = now;
  return std::exchange(waiting_, {});
}

std::optional<FlushSchedule::Time> FlushSchedule::next_due() const {
  if (waiting_.empty()) return std::nullopt;
  if (!last_flush_) return Time::min();
  return *last_flush_ + interval_;
}

}  // namespace kestrel
