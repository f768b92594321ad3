#include "startup/config.h"

#include "shutdown/last_seen.h"
#include "startup/number.h"

namespace kestrel {

Config read_config(Files& files) {
  Config config;
  config.range_high = convert_number(files.read_text(range_high_file));
  config.range_low = convert_number(files.read_text(range_low_file));
  config.equi_Stop_time = read_last_seen(files);
  config.serial_number = files.read_text(serial_file);
  return config;
}

}  // namespace kestrel
