// What a check of the copy on a stick says to the technician.
#pragma once

#include <chrono>
#include <string>

#include "platform/ports.h"

namespace kestrel {

// Why the copy failed, in a few words, or nothing when every tagsheet is on
// a mounted stick byte for byte. The stick's own state comes first: a
// read-only or full stick explains a missing or partial copy.
std::string copy_failure(const CopyCheck& check, std::chrono::milliseconds limit);

// "N s": a limit as the notes give it.
std::string seconds_text(std::chrono::milliseconds limit);

}  // namespace kestrel
