#pragma once

#include <string>

#include "platform/ports.h"

namespace kestrel {

inline const std::string range_high_file = "/home/pi/Configuration/range_high.txt";
inline const std::string range_low_file = "/home/pi/Configuration/range_low.txt";
inline const std::string serial_file = "/home/pi/Configuration/Serial.txt";

// The module-level values read once at load.
struct Config {
  double range_high = 0;
  double range_low = 0;
  std::string equi_Stop_time;
  std::string serial_number;
};

// Reads and converts the four files in order; a failure stops at its file, so
// the files after it are never opened.
Config read_config(Files& files);

}  // namespace kestrel
