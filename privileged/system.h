// What the privileged steps ask of the system: whom they run as, the checks
// of the places they act on, and the command itself.
#pragma once

#include <stdexcept>
#include <string>

#include "privileged/steps.h"

namespace kestrel::privileged {

// A step that cannot be taken: the message says why.
struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Gives up root for good and becomes `account`, with its groups and home.
void become(const std::string& account);

// /media/pi and every folder above it belong to root and no other account may
// write to them, so no entry of /media/pi can be renamed or linked elsewhere
// behind a step's back.
void check_media_is_private();

// Replaces this process with the step's command; returns only by throwing.
[[noreturn]] void run(const Step& step);

}  // namespace kestrel::privileged
