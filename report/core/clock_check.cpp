#include "report/core/clock_check.h"

#include "report/core/fields.h"

#ifndef KESTREL_FIRST_RELEASE
#error "the build defines KESTREL_FIRST_RELEASE as YYYYMMDD"
#endif

namespace kestrel::report {

namespace {

// A step back of at most an hour that lands between 23:00 and 03:00: the end of summer time
// (02:59:59 summer time is followed by 02:00:00 in Europe, 01:59:59 by 01:00:00 in America,
// 23:59:59 by 23:00:00 in Chile), which a correct clock takes too.
bool summer_time_ends(const Moment& before, const Moment& after) {
  std::int64_t step = before.seconds() - after.seconds();
  int hour = after.time.hour;
  return step > 0 && step <= 3600 && (hour >= 23 || hour < 3);
}

}  // namespace

Date first_release_date() {
  return Date{KESTREL_FIRST_RELEASE / 10000, KESTREL_FIRST_RELEASE / 100 % 100,
              KESTREL_FIRST_RELEASE % 100};
}

std::string ClockFlags::text(const ClockLimits& limits) const {
  std::string text;
  auto add = [&text](const std::string& problem) { text += (text.empty() ? "" : "; ") + problem; };
  if (starts_before_previous) add("starts before the previous run's last row");
  if (rows_back > 0) {
    add(std::to_string(rows_back) + (rows_back == 1 ? " row" : " rows") +
        " earlier than the row before");
  }
  if (before_first_release) {
    add("dates before the first release (" + iso_date(limits.first_release) + ")");
  }
  if (in_the_future) add("dates after the export (in the future)");
  return text.empty() ? "ok" : text;
}

bool ClockCheck::goes_back(const Moment& moment, ClockFlags& flags) const {
  if (moment.date.key() < limits_.first_release.key()) flags.before_first_release = true;
  // A row written before now carries at most now in the zone farthest ahead, UTC+14.
  if (moment.seconds() > limits_.now + 14 * 3600) flags.in_the_future = true;
  return last_ && moment.seconds() < last_->seconds() && !summer_time_ends(*last_, moment);
}

void ClockCheck::run_start(const std::optional<Moment>& start, ClockFlags& flags) {
  if (start && goes_back(*start, flags)) flags.starts_before_previous = true;
  last_ = start;
}

void ClockCheck::row(const Moment& moment, ClockFlags& flags) {
  if (goes_back(moment, flags)) ++flags.rows_back;
  last_ = moment;
}

}  // namespace kestrel::report
