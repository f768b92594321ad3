#include "shutdown/export.h"

#include "platform/board.h"
#include "shutdown/shell_quote.h"

namespace kestrel {

std::string copy_command(const std::string& mount_point) {
  return "sudo rsync -avx " + board::tagsheets_directory + "/ " + shell_quote(mount_point);
}

std::string unmount_command(const std::string& mount_point) {
  return "sudo umount " + shell_quote(mount_point);
}

std::string removal_command(const std::string& mount_point) {
  return "sudo rm -r " + shell_quote(mount_point);
}

void export_and_restart(const std::string& mount_name, Platform& platform) {
  const std::string mount_point = board::media_directory + "/" + mount_name;
  platform.shell.run(copy_command(mount_point), stick_command_limit);
  platform.shell.run(unmount_command(mount_point), stick_command_limit);
  if (!platform.files.is_mount_point(mount_point)) {
    platform.shell.run(removal_command(mount_point), stick_command_limit);
  }
  platform.clock.sleep(3);
  platform.buzzer.off();
  platform.shell.run(restart_command, restart_command_limit);
}

}  // namespace kestrel
