#include "tagsheet/records.h"

#include <ctime>

#include "platform/board.h"
#include "tagsheet/format.h"

namespace kestrel {
namespace {

std::string formatted(const LocalTime& reading, const char* pattern) {
  std::tm fields{};
  fields.tm_year = reading.year - 1900;
  fields.tm_mon = reading.month - 1;
  fields.tm_mday = reading.day;
  fields.tm_hour = reading.hour;
  fields.tm_min = reading.minute;
  fields.tm_sec = reading.second;
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, pattern, &fields);
  return std::string(text, length);
}

}  // namespace

std::string tagsheet_directory(const std::string& d) {
  return board::tagsheets_directory + "/" + d;
}

std::string tagsheet_path(const std::string& d) {
  return tagsheet_directory(d) + "/" + tagsheet::file_name(d);
}

std::string date_text(const LocalTime& reading) {
  return formatted(reading, tagsheet::date_pattern);
}

std::string time_text(const LocalTime& reading) {
  return formatted(reading, tagsheet::time_pattern);
}

std::string header(const std::string& equi_Stop_time, const std::string& t,
                   const std::string& serial_number) {
  std::string text(tagsheet::stop_label);
  text += equi_Stop_time;
  text += tagsheet::header_gap;
  text += tagsheet::start_label;
  text += t;
  text += '\n';
  text += tagsheet::serial_label;
  text += serial_number;
  text += '\n';
  text += tagsheet::title_line;
  text += '\n';
  return text;
}

std::string row(const std::string& dt, const std::string& tt, const std::string& distance) {
  std::string text = dt;
  text += tagsheet::row_gap_after_date;
  text += tt;
  text += tagsheet::row_gap_after_time;
  text += distance;
  text += '\n';
  return text;
}

std::string stop_line(const std::string& equi_Stop_time1) {
  return '\n' + std::string(tagsheet::stop_label) + equi_Stop_time1;
}

}  // namespace kestrel
