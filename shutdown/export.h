#pragma once

#include <chrono>
#include <string>

#include "platform/ports.h"

namespace kestrel {

std::string copy_command(const std::string& mount_point);
std::string unmount_command(const std::string& mount_point);
std::string removal_command(const std::string& mount_point);
inline const std::string restart_command = "sudo reboot";

// How long the commands on the stick may take, and the restart command.
inline constexpr std::chrono::minutes stick_command_limit{30};
inline constexpr std::chrono::seconds restart_command_limit{60};

// Copies all tagsheets to the stick mounted as /media/pi/MOUNT_NAME, unmounts
// it, removes the mount point, waits 3 seconds, silences the buzzer and asks
// for a restart. The commands' statuses are not examined.
//
// The mount name is quoted for the shell, and the mount point is removed only
// once it is no longer a mount point: after a failed unmount the removal would
// work on the stick's own files.
void export_and_restart(const std::string& mount_name, Platform& platform);

}  // namespace kestrel
