// What the charts and the terminal summary show: detections per day, per hour and per
// minute, the first and last detection and the closest distance. Bounded whatever the rows
// and their dates: the days with detections are kept day by day for the latest max_days of
// them only, and otherwise just marked in a DayMap.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "report/core/calendar.h"
#include "report/core/days.h"
#include "report/core/fields.h"

namespace kestrel::report {

constexpr int minutes_per_day = 24 * 60;

// The days kept day by day: ten years of days with detections, as many as a logger's whole
// life leaves on a stick (every export copies every tagsheet), and the span the page still
// draws as one bar per calendar day. At about 12 KB a day for the per-minute ranges that is
// 45 MB at most, and the page's text is 2.5 KB (one detection) to 33 KB (one every minute)
// a day: a clock that jumps from day to day no longer grows them without end.
constexpr std::size_t max_days_by_day = 3660;

// The nearest and farthest distance seen in one minute.
struct MinuteRange {
  std::uint32_t nearest = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t farthest = 0;
  bool empty() const { return nearest > farthest; }
};

struct DayStats {
  Date date;
  std::uint64_t detections = 0;
  std::array<std::uint64_t, 24> per_hour{};
  std::vector<MinuteRange> per_minute = std::vector<MinuteRange>(minutes_per_day);
  Row closest;
};

class Summary {
 public:
  // max_days: at least 1.
  explicit Summary(std::size_t max_days = max_days_by_day) : max_days_(max_days) {}

  void add(const Row& row);

  std::uint64_t detections() const { return detections_; }
  // The latest max_days days with detections, keyed by Date::key(), so in date order.
  const std::map<int, DayStats>& days() const { return days_; }
  // Every day with detections, those before days() included.
  const DayMap& detection_days() const { return detection_days_; }
  // The first of days() when earlier days with detections were cut off; none when days()
  // holds them all.
  std::optional<Date> cut_off_before() const {
    if (days_.size() == detection_days_.count(DayState::detections)) return std::nullopt;
    return days_.begin()->second.date;
  }
  // The detections on the days cut off.
  std::uint64_t detections_cut_off() const { return detections_cut_off_; }
  // Empty until the first detection.
  const std::optional<Row>& first() const { return first_; }
  const std::optional<Row>& last() const { return last_; }
  const std::optional<Row>& closest() const { return closest_; }

 private:
  // The stats of date's day, added if need be; none when it lies before the days kept, as
  // do the days cut off to make room.
  DayStats* day_of(Date date);

  std::size_t max_days_;
  std::uint64_t detections_ = 0;
  std::map<int, DayStats> days_;
  DayStats* day_ = nullptr;  // the day of the previous row: rows come in runs of one day
  DayMap detection_days_;
  std::uint64_t detections_cut_off_ = 0;
  std::optional<Row> first_;
  std::optional<Row> last_;
  std::optional<Row> closest_;
};

}  // namespace kestrel::report
