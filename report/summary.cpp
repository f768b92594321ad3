#include "report/summary.h"

#include <algorithm>

namespace kestrel::report {

namespace {

bool earlier(const Row& a, const Row& b) {
  int day_a = a.date.key();
  int day_b = b.date.key();
  return day_a != day_b ? day_a < day_b : a.time.seconds() < b.time.seconds();
}

// Nearer, or as near and earlier.
bool closer(const Row& a, const Row& b) {
  return a.centimetres != b.centimetres ? a.centimetres < b.centimetres : earlier(a, b);
}

}  // namespace

void Summary::add(const Row& row) {
  ++detections_;
  int key = row.date.key();
  if (day_ == nullptr || day_->date.key() != key) {
    auto [entry, added] = days_.try_emplace(key);
    day_ = &entry->second;
    if (added) {
      day_->date = row.date;
      day_->closest = row;
    }
  }
  DayStats& day = *day_;
  ++day.detections;
  ++day.per_hour[row.time.hour];
  auto distance = static_cast<uint32_t>(
      std::min<uint64_t>(row.centimetres, std::numeric_limits<uint32_t>::max() - 1));
  MinuteRange& minute = day.per_minute[row.time.hour * 60 + row.time.minute];
  minute.nearest = std::min(minute.nearest, distance);
  minute.farthest = std::max(minute.farthest, distance);
  if (closer(row, day.closest)) day.closest = row;

  if (!first_ || earlier(row, *first_)) first_ = row;
  if (!last_ || earlier(*last_, row)) last_ = row;
  if (!closest_ || closer(row, *closest_)) closest_ = row;
}

}  // namespace kestrel::report
