// What the charts and the terminal summary show: detections per day, per hour and per
// minute, the first and last detection and the closest distance. Bounded by the number of
// days, not of rows.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "report/fields.h"

namespace kestrel::report {

constexpr int minutes_per_day = 24 * 60;

// The nearest and farthest distance seen in one minute.
struct MinuteRange {
  uint32_t nearest = std::numeric_limits<uint32_t>::max();
  uint32_t farthest = 0;
  bool empty() const { return nearest > farthest; }
};

struct DayStats {
  Date date;
  uint64_t detections = 0;
  std::array<uint64_t, 24> per_hour{};
  std::vector<MinuteRange> per_minute = std::vector<MinuteRange>(minutes_per_day);
  Row closest;
};

class Summary {
 public:
  void add(const Row& row);

  uint64_t detections() const { return detections_; }
  // Keyed by Date::key(), so in date order.
  const std::map<int, DayStats>& days() const { return days_; }
  // Empty until the first detection.
  const std::optional<Row>& first() const { return first_; }
  const std::optional<Row>& last() const { return last_; }
  const std::optional<Row>& closest() const { return closest_; }

 private:
  uint64_t detections_ = 0;
  std::map<int, DayStats> days_;
  DayStats* day_ = nullptr;  // the day of the previous row: rows come in runs of one day
  std::optional<Row> first_;
  std::optional<Row> last_;
  std::optional<Row> closest_;
};

}  // namespace kestrel::report
