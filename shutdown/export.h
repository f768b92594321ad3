#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/ports.h"

namespace kestrel {

std::string copy_command(const std::string& mount_point);
std::string unmount_command(const std::string& mount_point);
std::string removal_command(const std::string& mount_point);
inline const std::string restart_command = "sudo reboot";
inline constexpr std::chrono::seconds restart_command_limit{60};

// How long each step of an export on the stick may take: the copy, its
// check, the unmount (which writes out what the copy left in memory) and the
// removal. Half a minute, and a second more for each tagsheet and for each
// 128 KiB of them: ten times what a slow stick needs.
std::chrono::milliseconds stick_allowance(std::size_t tagsheets, std::uint64_t bytes);

// Copies all tagsheets to the stick mounted as /media/pi/MOUNT_NAME, checks
// that every one is there byte for byte, unmounts it, removes the mount
// point, ends with a tone (tones.h), silences the buzzer and asks for a
// restart. Returns what went wrong, or nothing when the export worked.
//
// An export fails when the check finds a tagsheet missing or different on
// the stick, when the stick stays mounted, or when a step does not end
// within its allowance (it is ended, and the others follow all the same).
// Then a note says why, and the tone is the failure's.
//
// The mount name is quoted for the shell, and the mount point is removed only
// once it is no longer a mount point: after a failed unmount the removal would
// work on the stick's own files.
//
// The USB helper makes a stick's folder in /media/pi a moment before it moves
// the mounted stick onto it. So a folder that is no mount point yet is given
// up to 2 s (mount_wait_steps of mount_wait_step_seconds) to become one before
// the copy; a folder left behind without a stick is exported to after that
// wait, as before.
std::string export_and_restart(const std::string& mount_name, Platform& platform);

inline constexpr double mount_wait_step_seconds = 0.05;
inline constexpr int mount_wait_steps = 40;

}  // namespace kestrel
