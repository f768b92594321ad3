// Which days the logger ran and which had detections, so that a day the logger was on but
// saw nothing and a day it was off look different.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "report/core/calendar.h"
#include "report/core/run.h"
#include "report/core/summary.h"

namespace kestrel::report {

enum class DayState : std::uint8_t { no_run, running, detections };

class DayMap {
 public:
  // A run covers the days from its start to its last row. A run ended by an export (its stop
  // line) also covers the days up to the next run's start, since an export restarts the
  // logger; a run that ended without one (power cut, failure) stops at its last row, as the
  // time of the cut is not recorded. A run whose clock was wrong covers only its start day.
  DayMap(const std::vector<RunRecord>& runs, const Summary& summary);

  bool empty() const { return states_.empty(); }
  // From the first to the last day a run or a row names; only when not empty.
  Date first() const { return date_of_day(first_day_); }
  Date last() const { return date_of_day(first_day_ + static_cast<std::int64_t>(days()) - 1); }
  DayState state(Date date) const;
  std::uint64_t count(DayState state) const {
    return static_cast<std::uint64_t>(std::count(states_.begin(), states_.end(), state));
  }
  std::uint64_t days() const { return states_.size(); }

 private:
  std::int64_t first_day_ = 0;  // day_number() of first()
  std::vector<DayState> states_;
};

}  // namespace kestrel::report
