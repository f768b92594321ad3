// Tells when the logger's clock cannot be trusted. A board without network or clock battery
// starts with the time saved before a power cut, so after a long outage its dates are wrong
// and nothing in the tagsheet says so; these rules find what the records themselves prove:
// a run that starts before the previous run's last row, a row earlier than the one before it
// in its run, and dates before the first release or in the future.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "report/core/calendar.h"

namespace kestrel::report {

// A date and time of day as the logger's clock gave them, in its own (unknown) time zone.
struct Moment {
  Date date;
  TimeOfDay time;
  // Seconds from 1970-01-01 00:00:00 on the same clock: orders moments and measures steps.
  std::int64_t seconds() const { return day_number(date) * seconds_per_day + time.seconds(); }
};

// The day of the first release, built in from the package's oldest changelog entry: no
// logger wrote a row before it, whichever release of the report reads the tagsheets.
Date first_release_date();

struct ClockLimits {
  Date first_release;    // no logger existed before this day
  std::int64_t now = 0;  // the time the report is made, seconds since 1970 UTC
};

struct ClockFlags {
  bool starts_before_previous = false;
  std::uint64_t rows_back = 0;  // rows earlier than the row (or the start) before them
  bool before_first_release = false;
  bool in_the_future = false;

  bool ok() const {
    return !starts_before_previous && rows_back == 0 && !before_first_release && !in_the_future;
  }
  // "ok", or what is wrong, each problem once, joined with "; ".
  std::string text(const ClockLimits& limits) const;
};

// Takes the runs in the order they were written and the rows of each run in turn.
class ClockCheck {
 public:
  explicit ClockCheck(const ClockLimits& limits) : limits_(limits) {}

  // A run begins; start is none when its header or its tagsheet's name holds no time or date.
  void run_start(const std::optional<Moment>& start, ClockFlags& flags);
  // A row of the run begun last.
  void row(const Moment& moment, ClockFlags& flags);

 private:
  // Flags a reading outside the limits; whether it is earlier than the reading before.
  bool goes_back(const Moment& moment, ClockFlags& flags) const;

  ClockLimits limits_;
  std::optional<Moment> last_;  // the latest reading so far: a run's start, then its rows
};

}  // namespace kestrel::report
