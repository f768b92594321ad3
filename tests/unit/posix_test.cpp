#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>

#include "platform/errors.h"
#include "platform/fd.h"
#include "platform/posix_clock.h"
#include "platform/posix_files.h"
#include "platform/posix_shell.h"
#include "platform/timed_poll.h"
#include "support.h"
#include "tagsheet/records.h"

namespace kestrel {
namespace {

using testing::TempDir;
using Names = std::vector<std::string>;

std::string read_raw(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The OsError the operation fails with.
OsError os_error_of(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const OsError& error) {
    return error;
  }
  ADD_FAILURE() << "no OsError";
  return OsError(0, "");
}

void expect_not_regular(const OsError& error, const std::string& path) {
  EXPECT_EQ(error.code, EINVAL);
  EXPECT_EQ(error.filename, path);
  EXPECT_EQ(error.message, "not a regular file");
}

TEST(PosixFiles, ReadsWithUniversalLineEnds) {
  TempDir dir;
  std::ofstream(dir / "f", std::ios::binary) << "a\r\nb\rc\n\r\r\nd\r";
  EXPECT_EQ(PosixFiles().read_text(dir / "f"), "a\nb\nc\n\n\nd\n");
}

TEST(PosixFiles, MissingPathsFailWithErrnoAndPath) {
  TempDir dir;
  PosixFiles files;
  const std::string missing = dir / "missing";
  for (auto operation : {+[](Files&f, const std::string&p) { f.read_text(p); },
                         +[](Files&f, const std::string&p) { f.list(p); }}) {
    try {
      operation(files, missing);
      ADD_FAILURE() << "no failure";
    } catch (const OsError& error) {
      EXPECT_EQ(error.code, ENOENT);
      EXPECT_EQ(error.filename, missing);
    }
  }
}

// What another account or a fault can put in a file's place: a link, a FIFO
// (whose open would wait for a writer), a device that never ends, a folder.
TEST(PosixFiles, ReadTextTakesARegularFileOfAFewKilobytesOnly) {
  TempDir dir;
  PosixFiles files;
  const std::string full = dir / "full";
  std::ofstream(full, std::ios::binary) << std::string(text_file_limit, '7');
  EXPECT_EQ(files.read_text(full).size(), text_file_limit);
  ASSERT_EQ(::symlink(full.c_str(), (dir / "link").c_str()), 0);
  EXPECT_EQ(files.read_text(dir / "link").size(), text_file_limit) << "a link to a file is read";

  std::ofstream(full, std::ios::binary | std::ios::app) << '7';
  const OsError too_long = os_error_of([&] { files.read_text(dir / "link"); });
  EXPECT_EQ(too_long.code, EFBIG);
  EXPECT_EQ(too_long.filename, dir / "link");
  EXPECT_EQ(too_long.message, "longer than 4096 bytes");

  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", (dir / "zero").c_str()), 0);
  for (const std::string& other : {dir / "fifo", dir / "zero", dir.path}) {
    SCOPED_TRACE(other);
    expect_not_regular(os_error_of([&] { files.read_text(other); }), other);
  }
}

TEST(PosixFiles, AppendCreatesThenAppendsAndListSkipsDots) {
  TempDir dir;
  PosixFiles files;
  files.append(dir / "sheet", "one\r\n");
  files.append(dir / "sheet", "two");
  EXPECT_EQ(read_raw(dir / "sheet"), "one\r\ntwo");
  EXPECT_EQ(files.list(dir.path), Names{"sheet"});
}

TEST(PosixFiles, AppendWritesOnlyARegularFileReachedThroughNoLink) {
  TempDir dir;
  PosixFiles files;
  const mode_t mask = ::umask(022);
  ::umask(mask);
  files.append(dir / "sheet", "row\n");
  struct stat made {};
  ASSERT_EQ(::stat((dir / "sheet").c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 07777, 0666 & ~mask);

  const std::string other = dir / "other";
  std::ofstream(other) << "keep";
  ASSERT_EQ(::symlink(other.c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0700), 0);
  for (const std::string& name : {dir / "link", dir / "dangling", dir / "fifo", dir / "folder"}) {
    SCOPED_TRACE(name);
    expect_not_regular(os_error_of([&] { files.append(name, "row\n"); }), name);
  }
  // A FIFO that someone reads takes nothing either.
  Fd reader(::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(reader.valid());
  expect_not_regular(os_error_of([&] { files.append(dir / "fifo", "row\n"); }), dir / "fifo");
  char byte = 0;
  EXPECT_EQ(::read(reader.get(), &byte, 1), 0);

  // Nor a file whose folder is a link; the error names the file, as for a
  // folder that is missing.
  ASSERT_EQ(::symlink(dir.path.c_str(), (dir / "day").c_str()), 0);
  for (const auto& [name, code] :
       {std::pair{dir / "day/other", ENOTDIR}, {dir / "gone/x", ENOENT}}) {
    const OsError error = os_error_of([&, name = name] { files.append(name, "row\n"); });
    EXPECT_EQ(error.code, code);
    EXPECT_EQ(error.filename, name);
  }
  EXPECT_EQ(read_raw(other), "keep");
  EXPECT_EQ(::access((dir / "nowhere").c_str(), F_OK), -1);
  EXPECT_EQ(read_raw(dir / "sheet"), "row\n");
}

TEST(PosixFiles, ReplaceSwapsInANewFileWithTheOldMode) {
  TempDir dir;
  PosixFiles files;
  const std::string path = dir / "time";
  files.replace(path, "first");
  ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
  struct stat before {};
  struct stat after {};
  ::stat(path.c_str(), &before);
  files.replace(path, " ");
  ::stat(path.c_str(), &after);
  EXPECT_EQ(read_raw(path), " ");
  EXPECT_EQ(after.st_mode & 07777, 0604u);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(files.list(dir.path), Names{"time"});  // no temporary file left

  // A folder in the file's place is not swapped away.
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
  EXPECT_THROW(files.replace(dir / "folder", " "), OsError);
  struct stat folder {};
  ASSERT_EQ(::stat((dir / "folder").c_str(), &folder), 0);
  EXPECT_TRUE(S_ISDIR(folder.st_mode));
  Names left = files.list(dir.path);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (Names{"folder", "time"}));
}

TEST(PosixFiles, ReplaceOfTheSameLengthWritesTheFileWhereItStands) {
  TempDir dir;
  PosixFiles files;
  const std::string path = dir / "time";
  files.replace(path, "08-00-01");
  struct stat before {};
  struct stat after {};
  ::stat(path.c_str(), &before);
  files.replace(path, "08-00-02");
  ::stat(path.c_str(), &after);
  EXPECT_EQ(read_raw(path), "08-00-02");
  EXPECT_EQ(after.st_ino, before.st_ino) << "a cut between a swap and its flush empties the file";

  // A link in the file's place is replaced, never written through.
  const std::string other = dir / "other";
  std::ofstream(other) << "keep-me!";
  for (const std::string& name : {dir / "hard", dir / "soft"}) {
    SCOPED_TRACE(name);
    if (name == dir / "hard") {
      ASSERT_EQ(::link(other.c_str(), name.c_str()), 0);
    } else {
      ASSERT_EQ(::symlink(other.c_str(), name.c_str()), 0);
    }
    files.replace(name, "08-00-03");
    EXPECT_EQ(read_raw(name), "08-00-03");
    EXPECT_EQ(read_raw(other), "keep-me!");
  }
}

// The temporary file of a swap is always made new: what a cut left under its
// name, or someone put there, is removed, never written through.
TEST(PosixFiles, ReplaceRemovesWhatIsUnderTheTemporaryName) {
  TempDir dir;
  PosixFiles files;
  const std::string path = dir / "time";
  const std::string temporary = dir / ".time.tmp";
  const std::string other = dir / "other";
  std::ofstream(other) << "keep-me!";
  const std::vector<std::function<int()>> plants = {
      [&] { return ::symlink(other.c_str(), temporary.c_str()); },
      [&] { return ::link(other.c_str(), temporary.c_str()); },
      [&] { return ::symlink((dir / "nowhere").c_str(), temporary.c_str()); },
  };
  std::string text = " ";
  for (const auto& plant : plants) {
    ASSERT_EQ(plant(), 0);
    text = text == " " ? "08-00-01" : " ";  // another length, so the file is swapped
    files.replace(path, text);
    EXPECT_EQ(read_raw(path), text);
    struct stat swapped {};
    ASSERT_EQ(::lstat(path.c_str(), &swapped), 0);
    EXPECT_TRUE(S_ISREG(swapped.st_mode));
    EXPECT_EQ(read_raw(other), "keep-me!");
    Names left = files.list(dir.path);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (Names{"other", "time"}));
  }

  // What cannot be removed stops the swap, named.
  ASSERT_EQ(::mkdir(temporary.c_str(), 0700), 0);
  const OsError error = os_error_of([&] { files.replace(path, "a longer text"); });
  EXPECT_EQ(error.code, EEXIST);
  EXPECT_EQ(error.filename, temporary);
  EXPECT_EQ(read_raw(path), text);
}

TEST(PosixFiles, EndsOfRegularFilesAreReadAndCut) {
  TempDir dir;
  PosixFiles files;
  const std::string sheet = dir / "sheet";
  std::ofstream(sheet, std::ios::binary) << std::string("rows\n") + std::string(3, '\0');
  std::optional<FileEnd> end = files.end_of(sheet, 4);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->offset, 4u);
  EXPECT_EQ(end->bytes, std::string("\n\0\0\0", 4));
  end = files.end_of(sheet, 100);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->offset, 0u);
  EXPECT_EQ(end->bytes.size(), 8u);
  files.cut(sheet, 5);
  EXPECT_EQ(read_raw(sheet), "rows\n");

  // Nothing else is read or cut: no file, a folder, a FIFO (which would block
  // an open for reading), a link to a file, a file in a folder reached
  // through a link.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink(sheet.c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::symlink(dir.path.c_str(), (dir / "day").c_str()), 0);
  for (const std::string& other :
       {dir / "missing", dir.path, dir / "fifo", dir / "link", dir / "day/sheet"}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(files.end_of(other, 4096));
    files.cut(other, 0);
  }
  EXPECT_EQ(read_raw(sheet), "rows\n");
}

TEST(PosixFiles, FlushToStorage) {
  TempDir dir;
  PosixFiles files;
  files.append(dir / "sheet", "row\n");
  files.replace(dir / "time", "08-00-01");
  EXPECT_NO_THROW(flush_to_storage({dir / "sheet", dir / "time", dir / "gone"}))
      << "a file that is gone has nothing to flush";
  std::ofstream(dir / "plain") << "a file, not a folder";
  try {
    flush_to_storage({dir / "sheet", dir / "plain/x"});
    ADD_FAILURE() << "a path that cannot be opened was taken as flushed";
  } catch (const OsError& error) {
    EXPECT_EQ(error.code, ENOTDIR);
    EXPECT_EQ(error.filename, dir / "plain/x");
  }
}

// Only a regular file keeps data on the storage. A tagsheet linked to
// /dev/null, a FIFO or a device is left alone, not failed on (sync_file_range
// gives ESPIPE there) and not opened.
TEST(PosixFiles, FlushSkipsWhatIsNoRegularFile) {
  TempDir dir;
  PosixFiles files;
  files.append(dir / "sheet", "row\n");
  ASSERT_EQ(::symlink("/dev/null", (dir / "null").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  // Held open for reading and writing, so that a flush that opened the FIFO
  // would fail on it rather than wait for a writer.
  Fd fifo(::open((dir / "fifo").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(fifo.valid());
  EXPECT_NO_THROW(flush_to_storage({dir / "null", dir / "sheet", dir / "fifo"}));
}

TEST(PosixFiles, MountPoints) {
  TempDir dir;
  PosixFiles files;
  EXPECT_FALSE(files.is_mount_point(dir.path));
  EXPECT_FALSE(files.is_mount_point(dir / "missing"));
  EXPECT_TRUE(files.is_mount_point("/proc"));
}

constexpr std::chrono::seconds roomy{10};

TEST(PosixShell, RunReturnsTheStatusAndCaptureTheExactOutput) {
  PosixShell shell;
  EXPECT_EQ(shell.run("exit 3", roomy), 3);
  EXPECT_EQ(shell.run("kill -TERM $$", roomy), -15);
  EXPECT_EQ(shell.capture("printf 'a\\0b\\n\\r'; echo to-stderr >&2", roomy),
            std::string("a\0b\n\r", 5));
}

TEST(PosixShell, WhatRunsBeforeEachCommandRunsFirst) {
  TempDir dir;
  const std::string marker = dir / "marker";
  int before = 0;
  PosixShell shell([] {},
                   [&] {
                     ++before;
                     std::ofstream(marker) << before;
                   });
  EXPECT_EQ(shell.run("test \"$(cat " + marker + ")\" = 1", roomy), 0);
  EXPECT_EQ(shell.capture("cat " + marker, roomy), "2");
}

TEST(PosixShell, NonZeroCaptureFailsWithStatusAndCommand) {
  for (const auto& [command, status] :
       {std::pair{std::string("echo partial; exit 2"), 2}, {"kill -KILL $$", -9}}) {
    try {
      PosixShell().capture(command, roomy);
      ADD_FAILURE() << command;
    } catch (const CalledProcessError& error) {
      EXPECT_EQ(error.returncode, status);
      EXPECT_EQ(error.cmd, command);
    }
  }
}

TEST(PosixClock, LocalStampsInTheZone) {
  struct Case {
    const char* zone;
    long long seconds;
    Names stamp;
  };
  for (const Case& c : {Case{"UTC0", 0, {"01-01-1970", "00-00-00"}},
                        Case{"UTC0", 4102444800, {"01-01-2100", "00-00-00"}},
                        Case{"UTC0", 1796687999, {"07-12-2026", "23-59-59"}},
                        Case{"CET-1", 0, {"01-01-1970", "01-00-00"}},
                        Case{"EST5", 0, {"31-12-1969", "19-00-00"}}}) {
    ::setenv("TZ", c.zone, 1);
    ::tzset();
    const LocalTime reading = local_time(c.seconds);
    EXPECT_EQ((Names{date_text(reading), time_text(reading)}), c.stamp)
        << c.zone << " " << c.seconds;
  }
  ::unsetenv("TZ");
  ::tzset();
}

// A wait of less than a second sleeps for its whole timeout: the armhf
// build's 64-bit time_t once reached the kernel as a zero timeout there.
TEST(TimedPoll, SleepsForATimeoutShorterThanASecond) {
  const timespec timeout{0, 300'000'000};
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(timed_poll(nullptr, 0, &timeout, nullptr), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
}

TEST(TimedPoll, ReturnsAtOnceForAReadableDescriptor) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const Fd reader(ends[0]);
  const Fd writer(ends[1]);
  ASSERT_EQ(::write(writer.get(), "x", 1), 1);
  pollfd entry{reader.get(), POLLIN, 0};
  const timespec timeout{60, 0};
  EXPECT_EQ(timed_poll(&entry, 1, &timeout, nullptr), 1);
  EXPECT_TRUE(entry.revents & POLLIN);
}

}  // namespace
}  // namespace kestrel
