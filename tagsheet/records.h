// Where the tagsheets live and the exact text of their three records
// (tagsheet/format.h).
#pragma once

#include <string>

#include "platform/ports.h"

namespace kestrel {

// The day's folder and the tagsheet in it, for the start date d ("%d-%m-%Y").
std::string tagsheet_directory(const std::string& d);
std::string tagsheet_path(const std::string& d);

// The date and the time of day of a clock reading, as the records and the
// commands write them.
std::string date_text(const LocalTime& reading);
std::string time_text(const LocalTime& reading);

// t: the run's start time of day.
std::string header(const std::string& equi_Stop_time, const std::string& t,
                   const std::string& serial_number);
// dt, tt: the detection's date and time of day.
std::string row(const std::string& dt, const std::string& tt, const std::string& distance);
// No line end after the value: the next header continues this line.
std::string stop_line(const std::string& equi_Stop_time1);

}  // namespace kestrel
