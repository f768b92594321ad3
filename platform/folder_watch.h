#pragma once

#include <string>
#include <vector>

#include "platform/fd.h"

namespace kestrel {

// Tells, for one system call, whether a listing of a folder could have
// changed since the watch was armed: so the receive cycle's listing of
// /media/pi for every byte is taken again only when something happened there.
//
// What can change what a fresh listing returns (its names, or whether it
// fails), and what reports it at once, in the call that made the change:
//
//   - an entry made, removed or renamed in the folder: inotify on the folder;
//   - the folder, or a folder above it, removed, renamed, replaced by a rename
//     or made unreadable (chmod, chown): inotify on every folder of the path,
//     for that one name and for the folder itself. The event in the folder
//     above comes at once, where the folder's own "deleted" waits until the
//     last user lets go of it (a shell whose working folder it is);
//   - a mount on the folder or on one above it, or one taken away: inotify
//     says nothing, but /proc/self/mountinfo polls with POLLPRI after any
//     change of the process's mount table.
//
// Both descriptors sit in one epoll set, so the look before each use is one
// epoll_wait that returns at once; events about other names in the folders
// above are read and dropped. Any event that matters, a lost event
// (IN_Q_OVERFLOW) or a watch the kernel dropped (IN_IGNORED) means "may have
// changed": the caller lists again and arms the watch anew, on whatever the
// path names by then.
//
// The watch is complete, and a listing can be kept, only where the events
// tell everything: every folder of the path a real folder (no link) on a
// file system whose changes all pass through this kernel (tmpfs, ext4, btrfs,
// xfs, f2fs: not a network, FUSE or overlay file system), inotify and the
// mount table available. A folder that is the root of a mount of some folder
// other than its file system's root (a bind mount) can be removed through
// that other path without an event here; its link count is then looked at
// too, a stat of the path per use (the board's /media/pi is a tmpfs of its
// own, whose root cannot be removed; the test sandbox's is a bind mount). An incomplete watch still
// arms what it can, so that a folder made later is noticed; until then every use lists.
class FolderWatch {
 public:
  // `folder` is an absolute path.
  explicit FolderWatch(std::string folder);
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  const std::string& folder() const { return folder_; }
  // Watches the folder afresh, as its path names it now. List it after this.
  void arm();
  // Whether the last arm() can tell every change (see above).
  bool complete() const { return complete_; }
  // True when something that may change a listing happened since arm(), or
  // arm() was never called. Never waits.
  bool changed();

 private:
  // Adds inotify watches from the root down; false when one of the path's
  // folders cannot be watched.
  bool watch_path();
  // Whether the folder could be removed through a path this watch does not see.
  bool removable_elsewhere(const Fd& folder);
  bool mount_root_is_file_system_root(unsigned long long mount_id);
  // Reads the waiting events; true when one of them matters.
  bool events_matter();

  std::string folder_;
  std::vector<std::string> names_;  // along the path: "media", "pi"
  std::vector<std::string> path_;   // its folders: "/", "/media", "/media/pi"
  std::vector<int> watches_;        // one per folder of path_ watched, in that order
  bool armed_ = false;
  bool complete_ = false;
  Fd mounts_;
  Fd inotify_;
  Fd wakers_;               // epoll of both
  bool removable_ = false;  // removable_elsewhere() at the last arm()
};

}  // namespace kestrel
