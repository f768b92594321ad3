// Which days the logger ran and which had detections, so that a day the logger was on but
// saw nothing and a day it was off look different.
#pragma once

#include <cstdint>
#include <vector>

#include "report/core/fields.h"
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
  Date first() const { return first_; }
  Date last() const { return last_; }
  DayState state(Date date) const;
  std::uint64_t count(DayState state) const;
  std::uint64_t days() const { return states_.size(); }

 private:
  void mark(Date from, Date to, DayState state);

  Date first_;
  Date last_;
  std::int64_t first_day_ = 0;  // days since 1970-01-01 of first_
  std::vector<DayState> states_;
};

}  // namespace kestrel::report
