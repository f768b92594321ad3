// The last-seen time file: the time of day of the latest detection, or one
// space after a clean end of run.
#pragma once

#include <string>

#include "platform/ports.h"

namespace kestrel {

inline const std::string last_seen_file = "/home/pi/Configuration/current_time.txt";

std::string read_last_seen(Files& files);
void record_last_seen(Files& files, const std::string& tt);
void reset_last_seen(Files& files);

}  // namespace kestrel
