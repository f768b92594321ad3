#include "shutdown/export.h"

#include <vector>

#include "platform/board.h"
#include "platform/run_status.h"
#include "shutdown/copy_check.h"
#include "shutdown/shell_quote.h"
#include "shutdown/tones.h"
#include "tagsheet/format.h"

namespace kestrel {
namespace {

// DATE/Non-Tag-DATE.txt for every entry of the tagsheets folder.
std::vector<std::string> tagsheet_names(Files& files) {
  std::vector<std::string> names;
  for (const std::string& day : files.list(board::tagsheets_directory)) {
    names.push_back(day + "/" + tagsheet::file_name(day));
  }
  return names;
}

std::vector<std::string> board_paths(const std::vector<std::string>& names) {
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back(board::tagsheets_directory + "/" + name);
  return paths;
}

std::string hung(const std::string& command, std::chrono::milliseconds limit) {
  return command + " did not end within " + seconds_text(limit);
}

// Waits, within its limit, for mount_point to become a mount point.
void wait_for_the_mount(const std::string& mount_point, Platform& platform) {
  for (int step = 0; step < mount_wait_steps && !platform.files.is_mount_point(mount_point);
       ++step) {
    platform.clock.sleep(mount_wait_step_seconds);
  }
}

// The first failure is the one noted.
void keep_first(std::string& failure, const std::string& another) {
  if (failure.empty()) failure = another;
}

}  // namespace

std::string copy_command(const std::string& mount_point) {
  return "sudo rsync -avx " + board::tagsheets_directory + "/ " + shell_quote(mount_point);
}

std::string unmount_command(const std::string& mount_point) {
  return "sudo umount " + shell_quote(mount_point);
}

std::string removal_command(const std::string& mount_point) {
  return "sudo rm -r " + shell_quote(mount_point);
}

std::chrono::milliseconds stick_allowance(std::size_t tagsheets, std::uint64_t bytes) {
  constexpr std::uint64_t bytes_a_second = 128 * 1024;
  return std::chrono::seconds(30 + tagsheets) +
         std::chrono::milliseconds(bytes * 1000 / bytes_a_second);
}

std::string export_and_restart(const std::string& mount_name, Platform& platform) {
  const std::string mount_point = board::media_directory + "/" + mount_name;
  wait_for_the_mount(mount_point, platform);
  const std::vector<std::string> tagsheets = tagsheet_names(platform.files);
  const std::chrono::milliseconds allowance =
      stick_allowance(tagsheets.size(), platform.sticks.total_size(board_paths(tagsheets)));

  const std::string stick = shell_quote(mount_point);
  platform.status.export_state = "exporting to " + stick;

  std::string failure;
  std::size_t copied = 0;
  const std::string copy = copy_command(mount_point);
  if (platform.shell.run(copy, allowance) == Shell::hung) {
    failure = hung(copy, allowance);
  } else {
    const CopyCheck check =
        platform.sticks.check(board::tagsheets_directory, mount_point, tagsheets, allowance);
    failure = copy_failure(check, allowance);
    copied = check.compared;
  }
  const std::string unmount = unmount_command(mount_point);
  if (platform.shell.run(unmount, allowance) == Shell::hung) {
    keep_first(failure, hung(unmount, allowance));
  }
  if (platform.files.is_mount_point(mount_point)) {
    keep_first(failure, "the stick stayed mounted");
  } else {
    const std::string removal = removal_command(mount_point);
    if (platform.shell.run(removal, allowance) == Shell::hung) {
      keep_first(failure, hung(removal, allowance));
    }
  }

  if (failure.empty()) {
    platform.status.export_state =
        "export to " + stick + ": " + count_of(static_cast<long>(copied), "tagsheet") + " copied";
    success_tone(platform.clock);
  } else {
    platform.status.export_state = "export to " + stick + " failed: " + failure;
    platform.console.note(platform.status.export_state);
    failure_beeps(platform.buzzer, platform.clock);
  }
  platform.buzzer.off();
  if (platform.shell.run(restart_command, restart_command_limit) == Shell::hung) {
    platform.console.note(hung(restart_command, restart_command_limit));
  }
  return failure;
}

}  // namespace kestrel
