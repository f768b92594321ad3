#include "platform/posix_sticks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/errors.h"
#include "platform/fd.h"
#include "platform/posix_files.h"

namespace kestrel {
namespace {

using Finding = CopyCheck::Finding;

// What the child hands back through its pipe; the name is the parent's.
struct Report {
  Finding finding = Finding::all_same;
  int error = 0;
  std::size_t index = 0;  // of the name the finding concerns
  std::size_t compared = 0;
  std::size_t not_same = 0;
  std::uint64_t not_copied = 0;
  bool present = false;
  bool mounted = false;
  bool read_only = false;
  std::uint64_t free_bytes = 0;
};

Fd open_to_read(const std::string& path) {
  return Fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

bool names_nothing(int code) { return code == ENOENT || code == ENOTDIR; }

using Block = std::vector<char>;
constexpr std::size_t block_size = 65536;

// Up to buffer.size() bytes, fewer only at the end of the file; -1 with errno
// on a read error.
ssize_t read_block(int fd, Block& buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t n = ::read(fd, buffer.data() + done, buffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

// Compares the copy with its original to the end of both.
Finding compare(int original, int copy, int& error) {
  Block ours(block_size);
  Block theirs(block_size);
  for (;;) {
    const ssize_t mine = read_block(original, ours);
    if (mine < 0) {
      error = errno;
      return Finding::original_unreadable;
    }
    const ssize_t copied = read_block(copy, theirs);
    if (copied < 0) {
      error = errno;
      return Finding::copy_failed;
    }
    if (mine != copied || std::memcmp(ours.data(), theirs.data(), mine) != 0) {
      return Finding::copy_different;
    }
    if (mine == 0) return Finding::all_same;
  }
}

// One tagsheet against its copy; nothing for a tagsheet that is not there (a
// name that is no day folder). `size` is left with the tagsheet's.
std::optional<Finding> check_one(const std::string& original_path, const std::string& copy_path,
                                 int& error, std::uint64_t& size) {
  const Fd original = open_to_read(original_path);
  struct stat file {};
  if (!original.valid() && names_nothing(errno)) return std::nullopt;
  if (!original.valid() || ::fstat(original.get(), &file) != 0) {
    error = errno;
    return Finding::original_unreadable;
  }
  if (!S_ISREG(file.st_mode)) return std::nullopt;
  size = static_cast<std::uint64_t>(file.st_size);
  const Fd copy = open_to_read(copy_path);
  if (!copy.valid()) {
    error = errno;
    return names_nothing(errno) ? Finding::copy_missing : Finding::copy_failed;
  }
  if (::fsync(copy.get()) != 0) {
    error = errno;
    return Finding::copy_failed;
  }
  return compare(original.get(), copy.get(), error);
}

void describe_stick(const std::string& to, Report& report) {
  struct stat place {};
  report.present = ::lstat(to.c_str(), &place) == 0;
  report.mounted = report.present && PosixFiles().is_mount_point(to);
  struct statvfs stick {};
  if (::statvfs(to.c_str(), &stick) != 0) return;
  report.read_only = (stick.f_flag & ST_RDONLY) != 0;
  report.free_bytes = static_cast<std::uint64_t>(stick.f_bavail) * stick.f_frsize;
}

// Every tagsheet, so that the report can tell how much is missing; the first
// that is not the same is the one named.
Report check_all(const std::string& from, const std::string& to,
                 const std::vector<std::string>& names) {
  Report report;
  for (std::size_t k = 0; k < names.size(); ++k) {
    int error = 0;
    std::uint64_t size = 0;
    const std::optional<Finding> finding =
        check_one(from + "/" + names[k], to + "/" + names[k], error, size);
    if (!finding) continue;
    if (*finding == Finding::all_same) {
      ++report.compared;
      continue;
    }
    if (report.not_same++ == 0) {
      report.finding = *finding;
      report.error = error;
      report.index = k;
    }
    report.not_copied += size;
  }
  describe_stick(to, report);
  return report;
}

// The child's whole life: the check, its report into the pipe, the end.
[[noreturn]] void run_check(int pipe, const std::string& from, const std::string& to,
                            const std::vector<std::string>& names) {
  ::setpgid(0, 0);
  const Report report = check_all(from, to, names);
  const bool sent = ::write(pipe, &report, sizeof report) == static_cast<ssize_t>(sizeof report);
  ::_exit(sent ? 0 : 1);
}

CopyCheck check_of(const Report& report, const std::vector<std::string>& names) {
  CopyCheck check;
  check.finding = report.finding;
  if (report.finding != Finding::all_same && report.index < names.size()) {
    check.name = names[report.index];
  }
  check.error = report.error;
  check.compared = report.compared;
  check.not_same = report.not_same;
  check.not_copied = report.not_copied;
  check.present = report.present;
  check.mounted = report.mounted;
  check.read_only = report.read_only;
  check.free_bytes = report.free_bytes;
  return check;
}

}  // namespace

std::uint64_t PosixSticks::total_size(const std::vector<std::string>& paths) {
  std::uint64_t total = 0;
  for (const std::string& path : paths) {
    struct stat file {};
    if (::stat(path.c_str(), &file) == 0 && S_ISREG(file.st_mode)) {
      total += static_cast<std::uint64_t>(file.st_size);
    }
  }
  return total;
}

CopyCheck PosixSticks::check(const std::string& from, const std::string& to,
                             const std::vector<std::string>& names,
                             std::chrono::milliseconds limit) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw OsError(errno, "pipe");
  Fd reader(ends[0]);
  Fd writer(ends[1]);
  const pid_t pid = ::fork();
  if (pid < 0) throw OsError(errno, "fork");
  if (pid == 0) run_check(writer.get(), from, to, names);
  ::setpgid(pid, pid);  // whichever of the two comes first
  writer.close();
  ChildProcess child(pid, check_interrupts_, grace_);
  CopyCheck unfinished;
  unfinished.finding = Finding::unfinished;
  const std::optional<int> status = child.wait_at_most(limit);
  Report report;
  if (!status || *status != 0 || ::read(reader.get(), &report, sizeof report) != sizeof report) {
    return unfinished;
  }
  return check_of(report, names);
}

}  // namespace kestrel
