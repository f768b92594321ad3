#include "report/fields.h"

#include <charconv>

namespace kestrel::report {

namespace {

constexpr std::string_view row_gap_after_date = "    ";
constexpr std::string_view row_gap_after_time = "        ";
constexpr size_t date_width = 10, time_width = 8;
constexpr size_t distance_column = date_width + 4 + time_width + 8;
// More digits than any radar can send; keeps the value far from overflow.
constexpr size_t max_distance_digits = 12;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A fixed-width number of exactly text.size() digits.
std::optional<int> digits(std::string_view text) {
  int value = 0;
  for (char c : text) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && leap_year(year) ? 29 : days[month - 1];
}

void append_digits(std::string& out, int value, int width) {
  out.resize(out.size() + width);
  for (auto it = out.rbegin(); width-- > 0; ++it, value /= 10)
    *it = static_cast<char>('0' + value % 10);
}

// "first<separator>second<separator>third", the last two with two digits.
std::string three_numbers(int first, int first_width, char separator, int second, int third) {
  std::string out;
  append_digits(out, first, first_width);
  out += separator;
  append_digits(out, second, 2);
  out += separator;
  append_digits(out, third, 2);
  return out;
}

}  // namespace

std::optional<Date> parse_date(std::string_view text) {
  if (text.size() != date_width || text[2] != '-' || text[5] != '-') return std::nullopt;
  auto day = digits(text.substr(0, 2)), month = digits(text.substr(3, 2)),
       year = digits(text.substr(6, 4));
  if (!day || !month || !year || *month < 1 || *month > 12 || *day < 1 ||
      *day > days_in_month(*year, *month))
    return std::nullopt;
  return Date{*year, *month, *day};
}

std::optional<TimeOfDay> parse_time(std::string_view text) {
  if (text.size() != time_width || text[2] != '-' || text[5] != '-') return std::nullopt;
  auto hour = digits(text.substr(0, 2)), minute = digits(text.substr(3, 2)),
       second = digits(text.substr(6, 2));
  // 60: the clock may format a leap second.
  if (!hour || !minute || !second || *hour > 23 || *minute > 59 || *second > 60)
    return std::nullopt;
  return TimeOfDay{*hour, *minute, *second};
}

std::optional<uint64_t> parse_distance(std::string_view text) {
  if (text.size() < 4 || text.size() > max_distance_digits + 3) return std::nullopt;
  size_t point = text.size() - 3;
  if (text[point] != '.') return std::nullopt;
  uint64_t value = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == point) continue;
    if (!is_digit(text[i])) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  return value;
}

std::optional<Row> parse_row(std::string_view line) {
  if (line.size() <= distance_column ||
      line.substr(date_width, row_gap_after_date.size()) != row_gap_after_date ||
      line.substr(date_width + 4 + time_width, row_gap_after_time.size()) != row_gap_after_time)
    return std::nullopt;
  auto date = parse_date(line.substr(0, date_width));
  auto time = parse_time(line.substr(date_width + 4, time_width));
  auto distance = parse_distance(line.substr(distance_column));
  if (!date || !time || !distance) return std::nullopt;
  return Row{*date, *time, *distance};
}

size_t trailing_row_start(std::string_view text) {
  size_t gap = text.rfind(row_gap_after_time);
  if (gap == std::string_view::npos || gap < date_width + 4 + time_width)
    return std::string_view::npos;
  size_t start = gap - (date_width + 4 + time_width);
  return parse_row(text.substr(start)) ? start : std::string_view::npos;
}

Date next_day(Date date) {
  if (date.day < days_in_month(date.year, date.month))
    return Date{date.year, date.month, date.day + 1};
  if (date.month < 12) return Date{date.year, date.month + 1, 1};
  return Date{date.year + 1, 1, 1};
}

std::string iso_date(Date date) { return three_numbers(date.year, 4, '-', date.month, date.day); }

std::string iso_time(TimeOfDay time) {
  return three_numbers(time.hour, 2, ':', time.minute, time.second);
}

std::string distance_text(uint64_t centimetres) {
  std::string out = std::to_string(centimetres / 100) + '.';
  append_digits(out, static_cast<int>(centimetres % 100), 2);
  return out;
}

}  // namespace kestrel::report
