#include "report/core/fields.h"

#include <charconv>

#include "tagsheet/format.h"

namespace kestrel::report {

namespace {

// More digits than any radar can send; keeps the value far from overflow.
constexpr size_t max_distance_digits = 12;
// Where the gap between a row's time and its distance begins.
constexpr size_t row_time_gap_column = tagsheet::row_time_column + tagsheet::time_width;

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

// The numbers of a text written with a strftime pattern of tagsheet/format.h;
// the fields the pattern does not name stay 0.
struct Fields {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

int* field_of(Fields& fields, char field) {
  switch (field) {
    case 'Y':
      return &fields.year;
    case 'm':
      return &fields.month;
    case 'd':
      return &fields.day;
    case 'H':
      return &fields.hour;
    case 'M':
      return &fields.minute;
    case 'S':
      return &fields.second;
    default:
      return nullptr;
  }
}

std::optional<Fields> read_fields(std::string_view pattern, std::string_view text) {
  if (text.size() != tagsheet::width_of(pattern)) return std::nullopt;
  Fields fields;
  size_t at = 0;
  for (size_t in_pattern = 0; in_pattern < pattern.size(); ++in_pattern) {
    if (pattern[in_pattern] != '%') {
      if (text[at++] != pattern[in_pattern]) return std::nullopt;
      continue;
    }
    const char field = pattern[++in_pattern];
    const size_t width = tagsheet::field_width(field);
    std::optional<int> value = digits(text.substr(at, width));
    int* target = field_of(fields, field);
    if (!value || target == nullptr) return std::nullopt;
    *target = *value;
    at += width;
  }
  return fields;
}

void append_digits(std::string& out, int value, int width) {
  out.resize(out.size() + width);
  for (auto it = out.rbegin(); width-- > 0; ++it, value /= 10) {
    *it = static_cast<char>('0' + value % 10);
  }
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
  std::optional<Fields> date = read_fields(tagsheet::date_pattern, text);
  if (!date || !is_calendar_date(Date{date->year, date->month, date->day})) return std::nullopt;
  return Date{date->year, date->month, date->day};
}

std::optional<TimeOfDay> parse_time(std::string_view text) {
  std::optional<Fields> time = read_fields(tagsheet::time_pattern, text);
  // 60: the clock may format a leap second.
  if (!time || time->hour > 23 || time->minute > 59 || time->second > 60) return std::nullopt;
  return TimeOfDay{time->hour, time->minute, time->second};
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
  using namespace tagsheet;
  if (line.size() <= row_distance_column ||
      line.substr(date_width, row_gap_after_date.size()) != row_gap_after_date ||
      line.substr(row_time_gap_column, row_gap_after_time.size()) != row_gap_after_time) {
    return std::nullopt;
  }
  auto date = parse_date(line.substr(0, date_width));
  auto time = parse_time(line.substr(row_time_column, time_width));
  auto distance = parse_distance(line.substr(row_distance_column));
  if (!date || !time || !distance) return std::nullopt;
  return Row{*date, *time, *distance};
}

size_t trailing_row_start(std::string_view text) {
  size_t gap = text.rfind(tagsheet::row_gap_after_time);
  if (gap == std::string_view::npos || gap < row_time_gap_column) return std::string_view::npos;
  size_t start = gap - row_time_gap_column;
  return parse_row(text.substr(start)) ? start : std::string_view::npos;
}

std::string iso_date(Date date) { return three_numbers(date.year, 4, '-', date.month, date.day); }

std::string iso_time(TimeOfDay time) {
  return three_numbers(time.hour, 2, ':', time.minute, time.second);
}

std::string time_or_text(std::string_view text) {
  std::optional<TimeOfDay> time = parse_time(text);
  return time ? iso_time(*time) : std::string(text);
}

std::string distance_text(uint64_t centimetres) {
  std::string out = std::to_string(centimetres / 100) + '.';
  append_digits(out, static_cast<int>(centimetres % 100), 2);
  return out;
}

}  // namespace kestrel::report
