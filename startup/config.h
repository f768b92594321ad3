#pragma once

#include <string>

#include "platform/ports.h"

namespace kestrel {

// The module-level values read once at load.
struct Config {
  double range_high = 0;
  double range_low = 0;
  std::string equi_Stop_time;
  std::string serial_number;
};

// Reads and converts the four files in order; a failure stops at its file, so
// the files after it are never opened.
Config read_config(Files& files, Floats& floats);

}  // namespace kestrel
