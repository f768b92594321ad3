#include "shutdown/end_path.h"

#include "shutdown/last_seen.h"
#include "shutdown/shell_quote.h"
#include "tagsheet/records.h"

namespace kestrel {

std::string copy_command(const std::string& mount_point) {
  return "sudo rsync -avx " + tagsheets_directory + "/ " + shell_quote(mount_point);
}

std::string unmount_command(const std::string& mount_point) {
  return "sudo umount " + shell_quote(mount_point);
}

std::string removal_command(const std::string& mount_point) {
  return "sudo rm -r " + shell_quote(mount_point);
}

void end_path(const std::string& mount_name, const std::string& d, Platform& platform) {
  const std::string equi_Stop_time1 = read_last_seen(platform.files);
  platform.files.append(tagsheet_path(d), stop_line(equi_Stop_time1));
  reset_last_seen(platform.files);

  const std::string mount_point = media_directory + "/" + mount_name;
  platform.shell.run(copy_command(mount_point));
  platform.shell.run(unmount_command(mount_point));
  if (!platform.files.is_mount_point(mount_point)) platform.shell.run(removal_command(mount_point));
  platform.clock.sleep(3);
  platform.buzzer.off();
  platform.shell.run(restart_command);
}

}  // namespace kestrel
