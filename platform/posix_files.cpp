#include "platform/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/errors.h"
#include "platform/fd.h"
#include "platform/newlines.h"

namespace kestrel {
namespace {

[[noreturn]] void fail(const std::string& path) { throw OsError(errno, path); }

Fd open_or_fail(const std::string& path, int flags, mode_t mode = 0) {
  Fd fd(::open(path.c_str(), flags | O_CLOEXEC, mode));
  if (!fd.valid()) fail(path);
  return fd;
}

// A regular file, not a link to one: the tagsheet folders are open to every
// user, and a link planted there must not have another file read or cut.
// Opened without waiting, since a FIFO named like the file would block.
// `file` is left with what fstat says of it.
Fd open_regular(const std::string& path, int flags, struct stat& file) {
  Fd fd(::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.valid() && (::fstat(fd.get(), &file) != 0 || !S_ISREG(file.st_mode))) return Fd();
  return fd;
}

// Whether the path names a regular file (through links); false when it names
// nothing.
bool regular_file_at(const std::string& path) {
  struct stat file {};
  if (::stat(path.c_str(), &file) == 0) return S_ISREG(file.st_mode);
  if (errno != ENOENT) fail(path);
  return false;
}

// Writes all of text; false with errno set when the file took less.
bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void close_or_fail(Fd& fd, const std::string& path) {
  if (fd.close() != 0) fail(path);
}

std::string parent_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A text no longer than a sector, replacing a file of the same length (the
// last-seen time), is written over the file where it stands: its block stays,
// so a power cut leaves the old text or the new one, never an empty file or
// NUL bytes, and the card is written at the next flush (DurableFiles) rather
// than at once. A swap of files would leave a window in which the file
// system's commit names a new file whose data is not stored yet. Only a
// regular file with one name is written over: a link planted in its place is
// replaced, not written through.
bool overwrite_same_length(const std::string& path, const std::string& text) {
  constexpr std::size_t sector = 512;
  if (text.size() > sector) return false;
  struct stat file {};
  Fd fd = open_regular(path, O_WRONLY, file);
  if (!fd.valid() || file.st_nlink != 1 ||
      static_cast<std::uint64_t>(file.st_size) != text.size()) {
    return false;
  }
  if (!write_all(fd.get(), text)) fail(path);
  close_or_fail(fd, path);
  return true;
}

void rewrite_in_place(const std::string& path, const std::string& text) {
  Fd fd = open_or_fail(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!write_all(fd.get(), text)) fail(path);
  close_or_fail(fd, path);
}

}  // namespace

std::string PosixFiles::read_text(const std::string& path) {
  Fd fd = open_or_fail(path, O_RDONLY);
  std::string raw;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(path);
    if (n == 0) break;
    raw.append(buffer, static_cast<std::size_t>(n));
  }
  close_or_fail(fd, path);
  return to_universal_newlines(raw);
}

// A record either lands whole or not at all: when the file system takes only
// part of it (a full card), the file is cut back to where the record began.
void PosixFiles::append(const std::string& path, const std::string& text) {
  Fd fd = open_or_fail(path, O_WRONLY | O_CREAT | O_APPEND, 0666);
  struct stat before {};
  if (::fstat(fd.get(), &before) != 0) fail(path);
  if (!write_all(fd.get(), text)) {
    int code = errno;
    if (::ftruncate(fd.get(), before.st_size) != 0) {
      // Nothing more can be done; the write error is the one to report.
    }
    throw OsError(code, path);
  }
  close_or_fail(fd, path);
}

// Write a temporary file beside the target, store it, then rename it over the
// target, so a power cut leaves either the old or the new content; a text of
// the file's own length is written in place instead (overwrite_same_length).
// Where the directory may not be written but the file may (an installation
// that opened only the file to the logger's account), the file is rewritten in
// place.
void PosixFiles::replace(const std::string& path, const std::string& text) {
  if (overwrite_same_length(path, text)) return;
  const std::string parent = parent_of(path);
  const std::string temporary = parent + "/." + path.substr(path.rfind('/') + 1) + ".tmp";
  Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid() && errno == EACCES) return rewrite_in_place(path, text);
  if (!fd.valid()) fail(path);
  auto discard = [&] {
    int code = errno;
    ::unlink(temporary.c_str());
    throw OsError(code, path);
  };
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0 && ::fchmod(fd.get(), old.st_mode & 07777) != 0) discard();
  if (!write_all(fd.get(), text) || ::fdatasync(fd.get()) != 0 || fd.close() != 0) discard();
  if (::rename(temporary.c_str(), path.c_str()) != 0) discard();
}

// Straight getdents64 on a fresh descriptor into a buffer on the stack: the
// path is looked up anew every time (a removed or replaced directory is
// noticed), and an empty directory costs no allocation.
std::vector<std::string> PosixFiles::list(const std::string& directory) {
  Fd fd = open_or_fail(directory, O_RDONLY | O_DIRECTORY);
  std::vector<std::string> names;
  alignas(dirent64) char buffer[8192];
  for (;;) {
    const ssize_t got = ::getdents64(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) fail(directory);
    if (got == 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
      names.emplace_back(entry->d_name);
    }
  }
  return names;
}

std::optional<FileEnd> PosixFiles::end_of(const std::string& path, std::size_t length) {
  struct stat file {};
  Fd fd = open_regular(path, O_RDONLY, file);
  if (!fd.valid()) return std::nullopt;
  const auto size = static_cast<std::uint64_t>(file.st_size);
  FileEnd end;
  end.offset = size - std::min<std::uint64_t>(size, length);
  end.bytes.resize(size - end.offset);
  std::size_t done = 0;
  while (done < end.bytes.size()) {
    const ssize_t n = ::pread(fd.get(), end.bytes.data() + done, end.bytes.size() - done,
                              static_cast<off_t>(end.offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    done += static_cast<std::size_t>(n);
  }
  return end;
}

void PosixFiles::cut(const std::string& path, std::uint64_t length) {
  struct stat file {};
  Fd fd = open_regular(path, O_WRONLY, file);
  if (fd.valid() && ::ftruncate(fd.get(), static_cast<off_t>(length)) != 0) {
    // Left as it is, as the port says.
  }
}

// Every file's data is written and waited for first (sync_file_range), and
// only then committed (fdatasync): the first commit takes the journal with all
// of them, so no commit names a length or a file whose data is not stored yet.
// Only a regular file keeps data on the storage: anything else (a link to
// /dev/null, a FIFO, a device) has nothing to flush and is not even opened,
// since opening a device may act on it.
void flush_to_storage(const std::vector<std::string>& paths) {
  std::vector<std::pair<Fd, const std::string*>> written;
  for (const std::string& path : paths) {
    if (!regular_file_at(path)) continue;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT) continue;
    if (!fd.valid()) fail(path);
    const unsigned int write_and_wait =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    if (::sync_file_range(fd.get(), 0, 0, write_and_wait) != 0) fail(path);
    written.emplace_back(std::move(fd), &path);
  }
  for (auto& [fd, path] : written) {
    if (::fdatasync(fd.get()) != 0) fail(*path);
    close_or_fail(fd, *path);
  }
}

// A path that cannot be examined counts as a mount point, so that nothing is
// removed on a guess; a path that does not exist is not one.
bool PosixFiles::is_mount_point(const std::string& path) {
  struct statx here {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &here) != 0) {
    return errno != ENOENT;
  }
  if (here.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) {
    return (here.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  // Kernels before 5.8 do not report the attribute: compare devices instead.
  struct stat self {};
  struct stat parent {};
  if (::lstat(path.c_str(), &self) != 0 || ::stat(parent_of(path).c_str(), &parent) != 0) {
    return true;
  }
  return self.st_dev != parent.st_dev;
}

}  // namespace kestrel
