#include "platform/folder_watch.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string_view>

namespace kestrel {
namespace {

// For the folder itself, everything that changes its entries or its own
// place and permissions; for a folder above, the same about the one entry on
// the path and about itself. IN_Q_OVERFLOW and IN_IGNORED come unasked.
constexpr std::uint32_t changes = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                  IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;
// A real folder only, never the target of a link in its place.
constexpr std::uint32_t folder_only = IN_ONLYDIR | IN_DONT_FOLLOW;

// The names along an absolute path: "/media/pi" -> "media", "pi". Nothing for
// a path that names a folder in more than one way ("..", ".", "//", a trailing
// "/"), which the watch does not try to follow.
std::vector<std::string> names_along(const std::string& path) {
  if (path.size() < 2 || path.front() != '/' || path.back() == '/') return {};
  std::vector<std::string> names;
  for (std::size_t at = 1; at <= path.size();) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    names.push_back(path.substr(at, end - at));
    if (names.back().empty() || names.back() == "." || names.back() == "..") return {};
    at = end + 1;
  }
  return names;
}

// Every change of a folder on these file systems goes through this kernel,
// and so past inotify; on a network, FUSE or overlay file system it need not.
bool changes_all_seen(const std::string& folder) {
  struct statfs about {};
  if (::statfs(folder.c_str(), &about) != 0) return false;
  switch (static_cast<std::uint32_t>(about.f_type)) {
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case BTRFS_SUPER_MAGIC:
    case XFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

// The n-th blank-separated field of a line, from 0; empty past the last.
std::string_view field(std::string_view line, int n) {
  for (; n > 0; --n) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) return {};
    line.remove_prefix(blank + 1);
  }
  return line.substr(0, line.find(' '));
}

bool add_waker(const Fd& wakers, const Fd& fd, std::uint32_t events) {
  epoll_event wake{};
  wake.events = events;
  wake.data.fd = fd.get();
  return wakers.valid() && fd.valid() &&
         ::epoll_ctl(wakers.get(), EPOLL_CTL_ADD, fd.get(), &wake) == 0;
}

}  // namespace

FolderWatch::FolderWatch(std::string folder) : folder_(std::move(folder)) {
  names_ = names_along(folder_);
  std::string prefix;
  if (!names_.empty()) path_.push_back("/");
  for (const std::string& name : names_) path_.push_back(prefix += "/" + name);
}

// Everything is made anew: the mount table is opened before the watches and
// both before the caller's listing, so a change after any of them is reported.
void FolderWatch::arm() {
  armed_ = true;
  complete_ = false;
  watches_.clear();
  removable_ = false;
  wakers_ = Fd(::epoll_create1(EPOLL_CLOEXEC));
  mounts_ = Fd(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
  inotify_ = Fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  const bool woken = add_waker(wakers_, mounts_, EPOLLPRI) && add_waker(wakers_, inotify_, EPOLLIN);
  if (!watch_path() || !woken) return;
  Fd folder(::open(folder_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.valid()) return;
  removable_ = removable_elsewhere(folder);
  complete_ = true;
}

bool FolderWatch::watch_path() {
  bool all_seen = !path_.empty();
  for (const std::string& folder : path_) {
    const int watch = ::inotify_add_watch(inotify_.get(), folder.c_str(), changes | folder_only);
    if (watch < 0) return false;  // missing, no folder, a link, or out of watches
    watches_.push_back(watch);
    all_seen = all_seen && changes_all_seen(folder);
  }
  return all_seen;
}

// A folder that is no mount's root has as its parent the folder above it on
// the path, which is watched wherever the removal is made from; the root of a
// file system cannot be removed at all. The root of a mount of some other
// folder (a bind mount) has a parent this watch cannot see.
bool FolderWatch::removable_elsewhere(const Fd& folder) {
  struct statx about {};
  if (::statx(folder.get(), "", AT_EMPTY_PATH, STATX_MNT_ID, &about) != 0 ||
      (about.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0) {
    return true;  // cannot tell
  }
  if ((about.stx_attributes & STATX_ATTR_MOUNT_ROOT) == 0) return false;
  return (about.stx_mask & STATX_MNT_ID) == 0 || !mount_root_is_file_system_root(about.stx_mnt_id);
}

// The mount's line of the mount table: "ID PARENT MAJOR:MINOR ROOT MOUNT-POINT ...".
bool FolderWatch::mount_root_is_file_system_root(unsigned long long mount_id) {
  std::string table;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(mounts_.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    table.append(chunk, static_cast<std::size_t>(got));
  }
  const std::string id = std::to_string(mount_id);
  for (std::string_view rest = table; !rest.empty();) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (field(line, 0) == id) return field(line, 3) == "/";
  }
  return false;
}

bool FolderWatch::changed() {
  if (!armed_) return true;
  if (!wakers_.valid()) return false;  // nothing can report; the watch is not complete
  epoll_event ready[2];
  const int count = ::epoll_wait(wakers_.get(), ready, 2, 0);
  if (count < 0) return true;
  for (int k = 0; k < count; ++k) {
    if (ready[k].data.fd != inotify_.get() || events_matter()) return true;
  }
  // Looked up by its path: a descriptor held open would keep its mount busy.
  struct stat folder {};
  return removable_ && (::stat(folder_.c_str(), &folder) != 0 || folder.st_nlink == 0);
}

// The watch of the folder itself (also when it is one of the folders above,
// through a bind mount) counts every event; that of a folder above counts
// those about itself and about the name on the path. A watch descriptor of
// none of them is one the kernel dropped.
bool FolderWatch::events_matter() {
  const bool folder_watched = watches_.size() == path_.size();
  auto matters = [&](const inotify_event& event) {
    if ((event.mask & IN_Q_OVERFLOW) != 0) return true;
    if (folder_watched && event.wd == watches_.back()) return true;
    bool known = false;
    for (std::size_t k = 0; k < watches_.size(); ++k) {
      if (event.wd != watches_[k]) continue;
      known = true;
      if (event.len == 0 || names_[k] == event.name) return true;
    }
    return !known;
  };
  alignas(inotify_event) char buffer[4096];
  bool any = false;
  for (;;) {
    const ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno != EAGAIN) return true;
    if (got <= 0) return any;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      any = any || matters(*event);
    }
  }
}

}  // namespace kestrel
