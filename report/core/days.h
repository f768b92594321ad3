// Which days the logger ran and which had detections, so that a day the logger was on but
// saw nothing and a day it was off look different.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "report/core/calendar.h"
#include "report/core/run.h"

namespace kestrel::report {

// In the order a day's state can only rise: no run marks a day that had detections.
enum class DayState : std::uint8_t { no_run, running, detections };

class Summary;

// A state for every date a tagsheet can write (years 0000 to 9999), one byte a day up to the
// latest day marked: at most 3.7 MB, however many days the rows and runs mark.
class DayMap {
 public:
  DayMap() = default;
  // The days of the summary's detections and of the runs. A run covers the days from its
  // start to its last row. A run ended by an export (its stop line) also covers the days up
  // to the next run's start, since an export restarts the logger; a run that ended without
  // one (power cut, failure) stops at its last row, as the time of the cut is not recorded. A
  // run whose clock was wrong covers only its start day.
  DayMap(const std::vector<RunRecord>& runs, const Summary& summary);

  // Raises date's state to state.
  void mark(Date date, DayState state) {
    auto day = static_cast<std::size_t>(day_number(date) - day_zero);
    first_ = states_.empty() ? day : std::min(first_, day);
    if (day >= states_.size()) states_.resize(day + 1, DayState::no_run);
    states_[day] = std::max(states_[day], state);
  }

  bool empty() const { return states_.empty(); }
  // From the first to the last day marked; only when not empty.
  Date first() const { return date_of_day(day_zero + static_cast<std::int64_t>(first_)); }
  Date last() const {
    return date_of_day(day_zero + static_cast<std::int64_t>(states_.size()) - 1);
  }
  std::uint64_t days() const { return states_.size() - first_; }
  DayState state(Date date) const {
    std::int64_t day = day_number(date) - day_zero;
    bool held = day >= 0 && day < static_cast<std::int64_t>(states_.size());
    return held ? states_[static_cast<std::size_t>(day)] : DayState::no_run;
  }
  // The days from first() to last() in state.
  std::uint64_t count(DayState state) const {
    auto first = states_.begin() + static_cast<std::ptrdiff_t>(first_);
    return static_cast<std::uint64_t>(std::count(first, states_.end(), state));
  }

 private:
  // Day 0: 0000-01-01, the first date a tagsheet can write.
  static constexpr std::int64_t day_zero = day_number(Date{0, 1, 1});

  std::vector<DayState> states_;  // from 0000-01-01 to the last day marked
  std::size_t first_ = 0;         // the first day marked
};

}  // namespace kestrel::report
