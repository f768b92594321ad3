#include "tagsheet/records.h"

namespace kestrel {

std::string tagsheet_directory(const std::string& d) { return tagsheets_directory + "/" + d; }

std::string tagsheet_path(const std::string& d) {
  return tagsheet_directory(d) + "/Non-Tag-" + d + ".txt";
}

std::string header(const std::string& equi_Stop_time, const std::string& t,
                   const std::string& serial_number) {
  return "Equipment Stop Time:" + equi_Stop_time + "\n\n\nEquipment Start Time:" + t +
         "\nSerial No:" + serial_number + "\n    Date       Time     Distance of Object\n";
}

std::string row(const std::string& dt, const std::string& tt, const std::string& distance) {
  return dt + "    " + tt + "        " + distance + "\n";
}

std::string stop_line(const std::string& equi_Stop_time1) {
  return "\nEquipment Stop Time:" + equi_Stop_time1;
}

}  // namespace kestrel
