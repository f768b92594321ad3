#include "tagsheet/log.h"

#include "tagsheet/last_seen.h"
#include "tagsheet/records.h"

namespace kestrel {

void log_detection(const std::string& worksheet, const LocalTime& detected,
                   const std::string& distance, Files& files) {
  const std::string dt = date_text(detected);  // the detection's date and time of day
  const std::string tt = time_text(detected);
  files.append(worksheet, row(dt, tt, distance));
  record_last_seen(files, tt);
}

void close_tagsheet(const std::string& worksheet, Files& files) {
  const std::string equi_Stop_time1 = read_last_seen(files);
  files.append(worksheet, stop_line(equi_Stop_time1));
  reset_last_seen(files);
}

}  // namespace kestrel
