#pragma once

#include <string>

#include "platform/ports.h"
#include "radar/window.h"
#include "startup/config.h"

namespace kestrel {

// The whole run: start values, radar link, the repair of what a power cut
// left in the tagsheets, housekeeping, the tagsheet header, then the receive
// cycle for ever. Returns only by an exception. When the card can take no
// more records (full, read-only, failing), the run notes why and only waits
// for a stick to export what the card holds.
[[noreturn]] void controller(const Config& config, Platform& platform);

// An accepted frame's distance dist (text: its distance text): inside the
// window the buzzer sounds and the detection is logged; at or beyond a bound
// the buzzer is silenced. With a NaN bound neither happens.
void detection_step(double dist, const std::string& text, const Window& window,
                    const std::string& worksheet, Platform& platform);

}  // namespace kestrel
