// What a run writes into its tagsheet and the last-seen time file after the
// header: each detection, and the close when a stick ends the run.
#pragma once

#include <string>

#include "platform/ports.h"

namespace kestrel {

// The row of a detection seen at `detected` with its distance text, then the
// detection's time of day as the last-seen time.
void log_detection(const std::string& worksheet, const LocalTime& detected,
                   const std::string& distance, Files& files);

// The stop line with the last-seen time as it stands, then the last-seen time
// reset to one space.
void close_tagsheet(const std::string& worksheet, Files& files);

}  // namespace kestrel
