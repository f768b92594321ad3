#include "report/core/clock_check.h"

#include <vector>

#ifndef KESTREL_FIRST_RELEASE
#error "the build defines KESTREL_FIRST_RELEASE as YYYYMMDD"
#endif

namespace kestrel::report {

namespace {

bool earlier(const Moment& a, const Moment& b) { return a.seconds() < b.seconds(); }

std::string join(const std::vector<std::string>& parts, const std::string& separator) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) {
      out += separator;
    }
    out += part;
  }
  return out;
}

}  // namespace

Date first_release_date() {
  return Date{KESTREL_FIRST_RELEASE / 10000, KESTREL_FIRST_RELEASE / 100 % 100,
              KESTREL_FIRST_RELEASE % 100};
}

std::int64_t Moment::seconds() const { return day_number(date) * seconds_per_day + time.seconds(); }

bool summer_time_ends(const Moment& before, const Moment& after) {
  std::int64_t step = before.seconds() - after.seconds();
  int hour = after.time.hour;
  return step > 0 && step <= 3600 && (hour >= 23 || hour < 3);
}

std::string ClockFlags::text(const ClockLimits& limits) const {
  std::vector<std::string> problems;
  if (starts_before_previous) {
    problems.push_back("starts before the previous run's last row");
  }
  if (rows_back > 0) {
    problems.push_back(std::to_string(rows_back) + (rows_back == 1 ? " row" : " rows") +
                       " earlier than the row before");
  }
  if (before_first_release) {
    problems.push_back("dates before the first release (" + iso_date(limits.first_release) + ")");
  }
  if (in_the_future) {
    problems.push_back("dates after the export (in the future)");
  }
  return problems.empty() ? "ok" : join(problems, "; ");
}

void ClockCheck::check_limits(const Moment& moment, ClockFlags& flags) const {
  if (moment.date.key() < limits_.first_release.key()) {
    flags.before_first_release = true;
  }
  if (moment.seconds() > limits_.latest()) {
    flags.in_the_future = true;
  }
}

void ClockCheck::run_start(const std::optional<Moment>& start, ClockFlags& flags) {
  if (start) {
    if (last_ && earlier(*start, *last_) && !summer_time_ends(*last_, *start)) {
      flags.starts_before_previous = true;
    }
    check_limits(*start, flags);
  }
  last_ = start;
}

void ClockCheck::row(const Moment& moment, ClockFlags& flags) {
  if (last_ && earlier(moment, *last_) && !summer_time_ends(*last_, moment)) {
    ++flags.rows_back;
  }
  check_limits(moment, flags);
  last_ = moment;
}

}  // namespace kestrel::report
