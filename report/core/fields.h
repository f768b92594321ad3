// The fixed-width texts of a tagsheet row: date, time of day and distance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "report/core/calendar.h"

namespace kestrel::report {

// One detection: the row "DD-MM-YYYY    HH-MM-SS        D.DD" with its line end removed.
struct Row {
  Date date;
  TimeOfDay time;
  std::uint64_t centimetres = 0;  // the distance text without its decimal point
};

std::optional<Date> parse_date(std::string_view dd_mm_yyyy);
std::optional<TimeOfDay> parse_time(std::string_view hh_mm_ss);
std::optional<Row> parse_row(std::string_view line);

// Where a whole row begins at the end of text (a row appended to a stop line continues
// that line), or npos.
std::size_t trailing_row_start(std::string_view text);

std::string iso_date(Date date);       // 2026-12-07
std::string iso_time(TimeOfDay time);  // 08:10:12
// 08:10:12 for a time of day written 08-10-12; any other text as it is.
std::string time_or_text(std::string_view text);
std::string distance_text(std::uint64_t centimetres);  // 1.25

}  // namespace kestrel::report
