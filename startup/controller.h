#pragma once

#include "platform/ports.h"
#include "startup/config.h"

namespace kestrel {

inline const std::string radar_device = "/dev/serial0";
constexpr long radar_baud = 115200;

// The whole run: start values, radar link, housekeeping, the tagsheet header,
// then the receive cycle for ever. Returns only by an exception.
[[noreturn]] void controller(const Config& config, Platform& platform);

}  // namespace kestrel
