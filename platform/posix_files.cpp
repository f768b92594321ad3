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

[[noreturn]] void fail_not_regular(const std::string& path) {
  throw OsError(EINVAL, path, "not a regular file");
}

Fd open_or_fail(const std::string& path, int flags) {
  Fd fd(::open(path.c_str(), flags | O_CLOEXEC));
  if (!fd.valid()) fail(path);
  return fd;
}

std::string parent_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Opens a file without waiting (a FIFO in its place would block the open
// until a writer or reader came), through no link in place of the file or of
// the folder it is in. Fails as open does, with errno set.
Fd open_in_folder(const std::string& path, int flags, mode_t mode = 0) {
  const Fd folder(::open(parent_of(path).c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.valid()) return Fd();
  return Fd(::openat(folder.get(), name_of(path).c_str(),
                     flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
}

// Whether open_in_folder failed on what is in the file's place: a link
// (ELOOP), a FIFO without a reader, a socket or a device without its driver
// (ENXIO), a folder opened for writing (EISDIR).
bool refused_as_no_regular_file(int code) {
  return code == ELOOP || code == ENXIO || code == EISDIR;
}

// open_in_folder for a regular file only; nothing when there is none.
// `file` is left with what fstat says of it.
Fd open_regular(const std::string& path, int flags, struct stat& file) {
  Fd fd = open_in_folder(path, flags);
  if (fd.valid() && (::fstat(fd.get(), &file) != 0 || !S_ISREG(file.st_mode))) return Fd();
  return fd;
}

// open_in_folder for a regular file only, failing with the path otherwise.
Fd open_regular_or_fail(const std::string& path, int flags, struct stat& file, mode_t mode = 0) {
  Fd fd = open_in_folder(path, flags, mode);
  if (!fd.valid() && refused_as_no_regular_file(errno)) fail_not_regular(path);
  if (!fd.valid() || ::fstat(fd.get(), &file) != 0) fail(path);
  if (!S_ISREG(file.st_mode)) fail_not_regular(path);
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

// At most `limit` bytes from the file's start.
std::string read_up_to(const Fd& fd, std::size_t limit, const std::string& path) {
  std::string bytes(limit, '\0');
  std::size_t done = 0;
  while (done < limit) {
    const ssize_t n = ::read(fd.get(), bytes.data() + done, limit - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(path);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
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

// Emptied only once it is known to be a regular file.
void rewrite_in_place(const std::string& path, const std::string& text) {
  struct stat file {};
  Fd fd = open_regular_or_fail(path, O_WRONLY | O_CREAT, file, 0666);
  if (::ftruncate(fd.get(), 0) != 0 || !write_all(fd.get(), text)) fail(path);
  close_or_fail(fd, path);
}

}  // namespace

// Read through a link (an installation may link a configuration file), but
// only from a regular file, and only up to the limit.
std::string PosixFiles::read_text(const std::string& path) {
  Fd fd = open_or_fail(path, O_RDONLY | O_NONBLOCK);
  struct stat file {};
  if (::fstat(fd.get(), &file) != 0) fail(path);
  if (!S_ISREG(file.st_mode)) fail_not_regular(path);
  const std::string raw = read_up_to(fd, text_file_limit + 1, path);
  if (raw.size() > text_file_limit) {
    throw OsError(EFBIG, path, "longer than " + std::to_string(text_file_limit) + " bytes");
  }
  close_or_fail(fd, path);
  return to_universal_newlines(raw);
}

// A record either lands whole or not at all: when the file system takes only
// part of it (a full card), the file is cut back to where the record began.
void PosixFiles::append(const std::string& path, const std::string& text) {
  struct stat before {};
  Fd fd = open_regular_or_fail(path, O_WRONLY | O_CREAT | O_APPEND, before, 0666);
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
// The temporary file is always a new one (O_EXCL): one a cut left behind, or
// anything put under its name, is removed first, never opened or written
// through. The new file takes the mode of the file it replaces, if that is a
// regular one. Where the directory may not be written but the file may (an
// installation that opened only the file to the logger's account), the file
// is rewritten in place.
void PosixFiles::replace(const std::string& path, const std::string& text) {
  if (overwrite_same_length(path, text)) return;
  const std::string temporary = parent_of(path) + "/." + name_of(path) + ".tmp";
  // Where this fails, the exclusive open fails too, or finds the name free.
  ::unlink(temporary.c_str());
  Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!fd.valid() && errno == EACCES) return rewrite_in_place(path, text);
  if (!fd.valid()) fail(errno == EEXIST ? temporary : path);
  auto discard = [&] {
    int code = errno;
    ::unlink(temporary.c_str());
    throw OsError(code, path);
  };
  struct stat old {};
  if (::lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
      ::fchmod(fd.get(), old.st_mode & 07777) != 0) {
    discard();
  }
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
