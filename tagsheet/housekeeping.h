#pragma once

#include <string>

#include "platform/ports.h"

namespace kestrel {

std::string search_command(const std::string& d);
std::string creation_command(const std::string& d);
std::string permissions_command(const std::string& d);

// Reports whether the day's tagsheet directory exists, then creates it and
// opens it to all users. Only a failing search ends the run; a command that
// cannot be started at all (no /bin/sh) ends it too.
void housekeeping(const std::string& d, Shell& shell, Console& console);

}  // namespace kestrel
