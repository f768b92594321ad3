#pragma once

#include <chrono>
#include <string>

#include "platform/ports.h"

namespace kestrel {

std::string search_command(const std::string& d);
std::string creation_command(const std::string& d);
std::string permissions_command(const std::string& d);

// How long each command of the start may take: it acts on a few folders of
// the card, and sudo may wait a while on a name lookup without network.
inline constexpr std::chrono::seconds start_command_limit{60};

// Reports whether the day's tagsheet directory exists, then creates it and
// opens it to all users. Only a failing search ends the run, and a search
// that outlives its limit; a command that cannot be started at all (no
// /bin/sh) ends it too.
void housekeeping(const std::string& d, Shell& shell, Console& console);

}  // namespace kestrel
