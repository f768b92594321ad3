// The tagsheet format, defined once: the logger writes it (tagsheet/records.cpp)
// and kestrel-report reads it (report/). Constants only, so both can use it.
//
// One tagsheet a start date: DATE/Non-Tag-DATE.txt below the tagsheets folder.
// The logger appends three records, each in one write:
//
//   header     stop_label LAST_SEEN header_gap start_label START_TIME "\n"
//              serial_label SERIAL "\n" title_line "\n"
//   row        DATE row_gap_after_date TIME row_gap_after_time DISTANCE "\n"
//   stop line  "\n" stop_label LAST_SEEN
//
// A stop line ends without a line end, so the next header or row continues
// its line. LAST_SEEN and SERIAL are written as read, line ends included.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel::tagsheet {

inline constexpr std::string_view stop_label = "Equipment Stop Time:";
inline constexpr std::string_view start_label = "Equipment Start Time:";
inline constexpr std::string_view serial_label = "Serial No:";
// Ends the last-seen text's line and leaves two empty lines.
inline constexpr std::string_view header_gap = "\n\n\n";
inline constexpr std::string_view title_line = "    Date       Time     Distance of Object";
// A line end in LAST_SEEN or SERIAL adds a line to its header: a header with
// more such lines than this is no header the logger wrote.
inline constexpr std::size_t max_extra_header_lines = 8;
// A header's lines besides those: its first, the two empty ones, the start
// time's, the serial number's and the title.
inline constexpr std::size_t fixed_header_lines = 6;

inline constexpr std::string_view row_gap_after_date = "    ";
inline constexpr std::string_view row_gap_after_time = "        ";

// Dates and times of day as strftime patterns: 07-12-2026 and 08-10-12. A %Y
// field has four digits, every other field two.
inline constexpr char date_pattern[] = "%d-%m-%Y";
inline constexpr char time_pattern[] = "%H-%M-%S";

// The digits a field of a pattern is written with ('Y' for %Y).
constexpr std::size_t field_width(char field) { return field == 'Y' ? 4 : 2; }

// The length of a text written with pattern.
constexpr std::size_t width_of(std::string_view pattern) {
  std::size_t width = 0;
  for (std::size_t at = 0; at < pattern.size(); ++at) {
    width += pattern[at] == '%' ? field_width(pattern[++at]) : 1;
  }
  return width;
}

inline constexpr std::size_t date_width = width_of(date_pattern);
inline constexpr std::size_t time_width = width_of(time_pattern);
// Where a row's time and distance begin.
inline constexpr std::size_t row_time_column = date_width + row_gap_after_date.size();
inline constexpr std::size_t row_distance_column =
    row_time_column + time_width + row_gap_after_time.size();

// An editor may put this UTF-8 byte-order mark before the first record.
inline constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// The day's folder is named by its date; the file in it:
inline constexpr std::string_view file_prefix = "Non-Tag-";
inline constexpr std::string_view file_suffix = ".txt";

inline std::string file_name(std::string_view date) {
  return std::string(file_prefix).append(date).append(file_suffix);
}

}  // namespace kestrel::tagsheet
