#pragma once

#include <string>

#include "platform/ports.h"

namespace kestrel {

inline const std::string media_directory = "/media/pi";

std::string copy_command(const std::string& mount_point);
std::string unmount_command(const std::string& mount_point);
std::string removal_command(const std::string& mount_point);
inline const std::string restart_command = "sudo reboot";

// Closes the run's tagsheet with its stop line, resets the last-seen time,
// copies all tagsheets to the stick, unmounts it, removes the mount point,
// waits 3 seconds, silences the buzzer and asks for a restart. The command
// statuses are not examined; the file steps end the run on failure.
//
// The mount name is quoted for the shell, and the mount point is removed only
// once it is no longer a mount point: after a failed unmount the removal would
// work on the stick's own files.
void end_path(const std::string& mount_name, const std::string& d, Platform& platform);

}  // namespace kestrel
