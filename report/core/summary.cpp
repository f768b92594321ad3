#include "report/core/summary.h"

#include <algorithm>
#include <utility>

namespace kestrel::report {

namespace {

bool earlier(const Row& a, const Row& b) {
  return std::pair(a.date.key(), a.time.seconds()) < std::pair(b.date.key(), b.time.seconds());
}

// Nearer, or as near and earlier.
bool closer(const Row& a, const Row& b) {
  return a.centimetres != b.centimetres ? a.centimetres < b.centimetres : earlier(a, b);
}

}  // namespace

DayStats* Summary::day_of(Date date) {
  int key = date.key();
  if (day_ != nullptr && day_->date.key() == key) return day_;
  detection_days_.mark(date, DayState::detections);
  auto found = days_.find(key);
  if (found == days_.end()) {
    if (days_.size() >= max_days_ && (days_.empty() || key < days_.begin()->first)) {
      return day_ = nullptr;
    }
    found = days_.try_emplace(key).first;
    found->second.date = date;
    if (days_.size() > max_days_) {
      detections_cut_off_ += days_.begin()->second.detections;
      days_.erase(days_.begin());
    }
  }
  return day_ = &found->second;
}

void Summary::add(const Row& row) {
  ++detections_;
  if (!first_ || earlier(row, *first_)) first_ = row;
  if (!last_ || earlier(*last_, row)) last_ = row;
  if (!closest_ || closer(row, *closest_)) closest_ = row;

  DayStats* day = day_of(row.date);
  if (day == nullptr) {
    ++detections_cut_off_;
    return;
  }
  if (day->detections == 0 || closer(row, day->closest)) day->closest = row;
  ++day->detections;
  ++day->per_hour[row.time.hour];
  auto distance = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(row.centimetres, std::numeric_limits<std::uint32_t>::max() - 1));
  MinuteRange& minute = day->per_minute[row.time.hour * 60 + row.time.minute];
  minute.nearest = std::min(minute.nearest, distance);
  minute.farthest = std::max(minute.farthest, distance);
}

}  // namespace kestrel::report
