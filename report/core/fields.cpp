#include "report/core/fields.h"

#include <array>

#include "tagsheet/format.h"

namespace kestrel::report {

namespace {

// More digits than any radar can send; keeps the value far from overflow.
constexpr std::size_t max_distance_digits = 12;
// Where the gap between a row's time and its distance begins.
constexpr std::size_t row_time_gap_column = tagsheet::row_time_column + tagsheet::time_width;

// Dates and times of day are three numbers joined by hyphens, DD-MM-YYYY and HH-MM-SS, and
// are read by position: the numbers at 0, 3 and 6, the hyphens between. The asserts hold
// these positions to the patterns the logger writes with.
constexpr char field_separator = '-';
constexpr std::size_t second_number_at = 3;
constexpr std::size_t third_number_at = 6;
static_assert(std::string_view(tagsheet::date_pattern) == "%d-%m-%Y");
static_assert(std::string_view(tagsheet::time_pattern) == "%H-%M-%S");
static_assert(tagsheet::date_width == third_number_at + 4);
static_assert(tagsheet::time_width == third_number_at + 2);

// The number text's digits make; -1 when it holds anything else.
std::int64_t digits(std::string_view text) {
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The three numbers of a date or time of day width characters long, or -1s.
std::array<int, 3> three_numbers(std::string_view text, std::size_t width) {
  if (text.size() != width || text[second_number_at - 1] != field_separator ||
      text[third_number_at - 1] != field_separator) {
    return {-1, -1, -1};
  }
  return {static_cast<int>(digits(text.substr(0, second_number_at - 1))),
          static_cast<int>(
              digits(text.substr(second_number_at, third_number_at - second_number_at - 1))),
          static_cast<int>(digits(text.substr(third_number_at)))};
}

// value with width digits, zeros in front.
void append_digits(std::string& out, int value, int width) {
  out.resize(out.size() + width);
  for (auto it = out.rbegin(); width-- > 0; ++it, value /= 10) {
    *it = static_cast<char>('0' + value % 10);
  }
}

// "first<separator>second<separator>third", the last two with two digits.
std::string joined(int first, int first_width, char separator, int second, int third) {
  std::string out;
  append_digits(out, first, first_width);
  out += separator;
  append_digits(out, second, 2);
  out += separator;
  append_digits(out, third, 2);
  return out;
}

// "1.25" -> 125: digits, a point and exactly two decimals.
std::optional<std::uint64_t> parse_distance(std::string_view text) {
  std::size_t point = text.size() - 3;
  if (text.size() < 4 || text.size() > max_distance_digits + 3 || text[point] != '.') {
    return std::nullopt;
  }
  std::int64_t whole = digits(text.substr(0, point));
  std::int64_t hundredths = digits(text.substr(point + 1));
  if (whole < 0 || hundredths < 0) return std::nullopt;
  return static_cast<std::uint64_t>(whole * 100 + hundredths);
}

}  // namespace

std::optional<Date> parse_date(std::string_view text) {
  auto [day, month, year] = three_numbers(text, tagsheet::date_width);
  Date date{year, month, day};
  if (year < 0 || !is_calendar_date(date)) return std::nullopt;  // a day or month of -1 is none
  return date;
}

std::optional<TimeOfDay> parse_time(std::string_view text) {
  auto [hour, minute, second] = three_numbers(text, tagsheet::time_width);
  // 60: the clock may format a leap second.
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) {
    return std::nullopt;
  }
  return TimeOfDay{hour, minute, second};
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

std::size_t trailing_row_start(std::string_view text) {
  std::size_t gap = text.rfind(tagsheet::row_gap_after_time);
  if (gap == std::string_view::npos || gap < row_time_gap_column) return std::string_view::npos;
  std::size_t start = gap - row_time_gap_column;
  return parse_row(text.substr(start)) ? start : std::string_view::npos;
}

std::string iso_date(Date date) { return joined(date.year, 4, '-', date.month, date.day); }

std::string iso_time(TimeOfDay time) { return joined(time.hour, 2, ':', time.minute, time.second); }

std::string time_or_text(std::string_view text) {
  std::optional<TimeOfDay> time = parse_time(text);
  return time ? iso_time(*time) : std::string(text);
}

std::string distance_text(std::uint64_t centimetres) {
  std::string out = std::to_string(centimetres / 100) + '.';
  append_digits(out, static_cast<int>(centimetres % 100), 2);
  return out;
}

}  // namespace kestrel::report
