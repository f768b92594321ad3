// Dates and times of day as the logger's clock gives them, and all the calendar arithmetic
// the report does: the proleptic Gregorian calendar, counted in days from 1970-01-01.
#pragma once

#include <cstdint>

namespace kestrel::report {

struct Date {
  int year = 0;
  int month = 0;
  int day = 0;
  // 20261207 for 07-12-2026: orders dates and keys maps.
  int key() const { return (year * 100 + month) * 100 + day; }
};

struct TimeOfDay {
  int hour = 0;
  int minute = 0;
  int second = 0;
  int seconds() const { return (hour * 60 + minute) * 60 + second; }
};

inline constexpr std::int64_t seconds_per_day = 24 * 3600;

bool is_leap_year(int year);
int days_in_month(int year, int month);
// Whether the month exists and has the day.
bool is_calendar_date(Date date);

// Days from 1970-01-01 to date; negative before it.
std::int64_t day_number(Date date);
// The date day_number() gives number for.
Date date_of_day(std::int64_t number);

Date next_day(Date date);
Date first_of_next_month(Date date);

}  // namespace kestrel::report
