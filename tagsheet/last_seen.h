// The last-seen time file: the time of day of the latest detection, or one
// space after a clean end of run. Read at start for the header, written at
// every detection, read and reset when a stick ends the run.
#pragma once

#include <string>

#include "platform/ports.h"

namespace kestrel {

std::string read_last_seen(Files& files);
void record_last_seen(Files& files, const std::string& tt);
void reset_last_seen(Files& files);

}  // namespace kestrel
