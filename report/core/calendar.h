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

// Whether the month exists and has the day.
inline bool is_calendar_date(Date date) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (date.month < 1 || date.month > 12 || date.day < 1) return false;
  bool leap = (date.year % 4 == 0 && date.year % 100 != 0) || date.year % 400 == 0;
  return date.day <= days[date.month - 1] + (date.month == 2 && leap ? 1 : 0);
}

// Both conversions count from a March-based year, so that the leap day comes last, in eras
// of 400 years (146097 days) that repeat exactly (H. Hinnant's days_from_civil and
// civil_from_days).
inline constexpr std::int64_t days_per_era = 146097;
inline constexpr std::int64_t days_from_era_start_to_1970 = 719468;

// Days from 1970-01-01 to date; negative before it.
constexpr std::int64_t day_number(Date date) {
  std::int64_t year = date.year - (date.month <= 2 ? 1 : 0);
  std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  std::int64_t year_of_era = year - era * 400;
  std::int64_t month_from_march = (date.month + 9) % 12;
  std::int64_t day_of_year = (153 * month_from_march + 2) / 5 + date.day - 1;
  std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * days_per_era + day_of_era - days_from_era_start_to_1970;
}

// The date day_number() gives number for.
inline Date date_of_day(std::int64_t number) {
  std::int64_t days = number + days_from_era_start_to_1970;
  std::int64_t era = (days >= 0 ? days : days - days_per_era + 1) / days_per_era;
  std::int64_t day_of_era = days - era * days_per_era;
  std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  std::int64_t month_from_march = (5 * day_of_year + 2) / 153;
  int day = static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  int month = static_cast<int>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
  int year = static_cast<int>(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
  return Date{year, month, day};
}

inline Date next_day(Date date) { return date_of_day(day_number(date) + 1); }

inline Date first_of_next_month(Date date) {
  return date.month == 12 ? Date{date.year + 1, 1, 1} : Date{date.year, date.month + 1, 1};
}

}  // namespace kestrel::report
