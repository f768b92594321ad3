// The logger's sudo lines, each answered by a small program of ours that sudo
// finds before the system's command of the same name (system/kestrel puts
// /usr/libexec/kestrel/sudo first on the logger's PATH, and the sudo rule
// allows only these programs). A program does its one step only for exactly
// the arguments the logger passes, and only where no other account can
// redirect it:
//  - the start's find, mkdir and chmod, and the export's rsync, run as the
//    account that called sudo: they act on that account's own tree, and a
//    link it planted there leads nowhere it could not go itself;
//  - the export's umount and rm need root: they act on one entry of
//    /media/pi, a folder that must belong to root and be closed to every
//    other account, so nobody else can put a link or a rename in their way.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::privileged {

using Arguments = std::vector<std::string>;

enum class RunAs { calling_account, root };

// What a sudo line is turned into: the system's command, run with these
// arguments, as whom, and whether the path it names must not be a mount.
struct Step {
  std::string program;
  Arguments arguments;
  RunAs run_as = RunAs::calling_account;
  bool needs_private_media = false;
  bool refuses_a_mount = false;
};

// The step for the sudo line `name arguments`, or nothing when the line is not
// exactly one the logger runs.
std::optional<Step> step_for(std::string_view name, const Arguments& arguments);

// A start date as the tagsheet folders are named: DD-MM-YYYY in digits.
bool is_day_name(std::string_view name);

// One entry of /media/pi: not empty, no "/", not "." or "..". Anything else
// (spaces, any bytes a label may hold) is a name the automounters may use.
bool is_mount_name(std::string_view name);

}  // namespace kestrel::privileged
