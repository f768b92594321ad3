// The line `systemctl status kestrel` shows of a run (RunStatus, ports.h).
#pragma once

#include <chrono>
#include <string>

#include "platform/ports.h"

namespace kestrel {

// One line: the run's start, frames and detections with the last one's time,
// how long the radar has been silent, the export, and a failed card.
std::string status_line(const RunStatus& status, std::chrono::steady_clock::duration silence);

// "1 frame", "2 frames".
std::string count_of(long count, const std::string& thing);

}  // namespace kestrel
