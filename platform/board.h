// The board's fixed places: every path the logger reads, writes, lists or
// opens, and the radar line's speed.
#pragma once

#include <string>

namespace kestrel::board {

inline const std::string range_high_file = "/home/pi/Configuration/range_high.txt";
inline const std::string range_low_file = "/home/pi/Configuration/range_low.txt";
// The last-seen time: the time of day of the latest detection.
inline const std::string last_seen_file = "/home/pi/Configuration/current_time.txt";
inline const std::string serial_file = "/home/pi/Configuration/Serial.txt";
// One folder a start date, each holding that date's tagsheet.
inline const std::string tagsheets_directory = "/home/pi/Configuration/Tagsheets";
// Where the platform mounts a USB stick.
inline const std::string media_directory = "/media/pi";
inline const std::string radar_device = "/dev/serial0";
constexpr long radar_baud = 115200;

}  // namespace kestrel::board
