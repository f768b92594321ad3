#include "startup/config.h"

#include "platform/board.h"
#include "startup/number.h"
#include "tagsheet/last_seen.h"

namespace kestrel {

Config read_config(Files& files, Floats& floats) {
  Config config;
  config.range_high = convert_number(files.read_text(board::range_high_file), floats);
  config.range_low = convert_number(files.read_text(board::range_low_file), floats);
  config.equi_Stop_time = read_last_seen(files);
  config.serial_number = files.read_text(board::serial_file);
  return config;
}

}  // namespace kestrel
