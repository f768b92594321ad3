// Where the tagsheets live and the exact text of their three records.
#pragma once

#include <string>

namespace kestrel {

inline const std::string tagsheets_directory = "/home/pi/Configuration/Tagsheets";

std::string tagsheet_directory(const std::string& d);
std::string tagsheet_path(const std::string& d);

std::string header(const std::string& equi_Stop_time, const std::string& t,
                   const std::string& serial_number);
std::string row(const std::string& dt, const std::string& tt, const std::string& distance);
// No line end after the value: the next header continues this line.
std::string stop_line(const std::string& equi_Stop_time1);

}  // namespace kestrel
