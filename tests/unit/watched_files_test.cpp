#include "platform/watched_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/errors.h"
#include "platform/posix_files.h"
#include "support.h"

namespace kestrel {
namespace {

using testing::TempDir;
using Names = std::vector<std::string>;

struct CountingFiles : PosixFiles {
  int listings = 0;
  std::vector<std::string> list(const std::string& directory) override {
    ++listings;
    return PosixFiles::list(directory);
  }
};

// A watched folder "media" in a fresh folder, listed through WatchedFiles;
// each use is checked against a fresh listing taken right after it.
struct Watched {
  TempDir dir;
  std::string media = dir / "media";
  CountingFiles inner;
  WatchedFiles files{inner, media};
  PosixFiles fresh;

  Watched() { ::mkdir(media.c_str(), 0755); }
  // The listing the cycle gets, which must be what a listing then gives.
  Names use() {
    Names names = files.list(media);
    EXPECT_EQ(names, fresh.list(media));
    return names;
  }
  // How many listings the uses since the last call took.
  int listed() { return std::exchange(inner.listings, 0); }
  void make(const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path; }
};

int error_of_use(Watched& w) {
  try {
    w.files.list(w.media);
  } catch (const OsError& error) {
    EXPECT_EQ(error.filename, w.media);
    return error.code;
  }
  return 0;
}

TEST(WatchedFiles, ListsOnceWhileNothingChanges) {
  Watched w;
  w.make(w.media + "/STICK");
  for (int k = 0; k < 5; ++k) EXPECT_EQ(w.use(), Names{"STICK"});
  EXPECT_EQ(w.listed(), 1);
  // Another folder is passed through, every time.
  w.files.list(w.dir.path);
  w.files.list(w.dir.path);
  EXPECT_EQ(w.listed(), 2);
}

TEST(WatchedFiles, EveryChangeOfTheEntriesIsSeenAtTheNextUse) {
  Watched w;
  EXPECT_EQ(w.use(), Names{});
  w.make(w.media + "/STICK");
  EXPECT_EQ(w.use(), Names{"STICK"});
  ASSERT_EQ(::rename((w.media + "/STICK").c_str(), (w.dir / "out").c_str()), 0);
  EXPECT_EQ(w.use(), Names{}) << "renamed out";
  ASSERT_EQ(::rename((w.dir / "out").c_str(), (w.media + "/IN").c_str()), 0);
  EXPECT_EQ(w.use(), Names{"IN"}) << "renamed in";
  ASSERT_EQ(::rename((w.media + "/IN").c_str(), (w.media + "/OTHER").c_str()), 0);
  EXPECT_EQ(w.use(), Names{"OTHER"}) << "renamed within";
  std::ofstream(w.media + "/file") << "x";
  EXPECT_EQ(w.use().size(), 2U) << "a file made";
  ASSERT_EQ(::unlink((w.media + "/file").c_str()), 0);
  ASSERT_EQ(::rmdir((w.media + "/OTHER").c_str()), 0);
  EXPECT_EQ(w.use(), Names{});
  ASSERT_EQ(::symlink("/", (w.media + "/link").c_str()), 0);
  EXPECT_EQ(w.use(), Names{"link"});
  EXPECT_EQ(w.listed(), 8);
}

TEST(WatchedFiles, ChangesBesideThePathCostNoListing) {
  Watched w;
  w.use();
  w.make(w.dir / "sibling");
  std::ofstream(w.dir / "file") << "x";
  ASSERT_EQ(::rename((w.dir / "sibling").c_str(), (w.dir / "moved").c_str()), 0);
  w.make(w.media + "/STICK");
  ASSERT_EQ(::rmdir((w.media + "/STICK").c_str()), 0);
  EXPECT_EQ(w.use(), Names{});
  w.make(w.dir / "again");
  EXPECT_EQ(w.use(), Names{});
  EXPECT_EQ(w.listed(), 2) << "once at the start, once for the stick that came and went";
}

TEST(WatchedFiles, AFolderRemovedFailsAsTheListingFailsUntilItIsBack) {
  Watched w;
  w.use();
  ASSERT_EQ(::rmdir(w.media.c_str()), 0);
  EXPECT_EQ(error_of_use(w), ENOENT);
  EXPECT_EQ(error_of_use(w), ENOENT) << "a failure is never kept";
  w.make(w.media);
  w.make(w.media + "/STICK");
  EXPECT_EQ(w.use(), Names{"STICK"});
  w.use();
  EXPECT_EQ(w.listed(), 4) << "the last use kept the listing";
}

TEST(WatchedFiles, AFolderMissingAtTheStartFailsAtTheFirstUse) {
  Watched w;
  ASSERT_EQ(::rmdir(w.media.c_str()), 0);
  EXPECT_EQ(error_of_use(w), ENOENT);
  w.make(w.media);
  EXPECT_EQ(w.use(), Names{});
}

TEST(WatchedFiles, AFolderReplacedIsListedAnew) {
  Watched w;
  // Removed and made again, empty: the same names, another folder.
  w.use();
  ASSERT_EQ(::rmdir(w.media.c_str()), 0);
  w.make(w.media);
  EXPECT_EQ(w.use(), Names{});
  w.make(w.media + "/A");
  EXPECT_EQ(w.use(), Names{"A"}) << "the new folder is watched";
  // Replaced by a rename over it.
  w.make(w.dir / "other");
  w.make(w.dir / "other/B");
  ASSERT_EQ(::rename(w.media.c_str(), (w.dir / "old").c_str()), 0);
  ASSERT_EQ(::rename((w.dir / "other").c_str(), w.media.c_str()), 0);
  EXPECT_EQ(w.use(), Names{"B"});
  w.make(w.dir / "old/C");
  EXPECT_EQ(w.use(), Names{"B"}) << "the folder moved away is no longer the one listed";
  // The folder above replaced.
  ASSERT_EQ(::rename(w.dir.path.c_str(), (w.dir.path + "-moved").c_str()), 0);
  w.make(w.dir.path);
  EXPECT_EQ(error_of_use(w), ENOENT);
  ASSERT_EQ(::rename((w.dir.path + "-moved/media").c_str(), w.media.c_str()), 0);
  EXPECT_EQ(w.use(), Names{"B"});
  std::filesystem::remove_all(w.dir.path + "-moved");
}

TEST(WatchedFiles, AChangeOfPermissionsIsListedAnew) {
  Watched w;
  w.use();
  ASSERT_EQ(::chmod(w.media.c_str(), 0700), 0);
  w.use();
  ASSERT_EQ(::chmod(w.dir.path.c_str(), 0700), 0);
  w.use();
  EXPECT_EQ(w.listed(), 3) << "for an account other than root, such a listing could fail";
}

TEST(WatchedFiles, ALinkOnThePathIsListedEveryTime) {
  Watched w;
  w.make(w.dir / "target");
  ASSERT_EQ(::rmdir(w.media.c_str()), 0);
  ASSERT_EQ(::symlink("target", w.media.c_str()), 0);
  EXPECT_EQ(w.use(), Names{});
  w.make(w.dir / "target/STICK");
  EXPECT_EQ(w.use(), Names{"STICK"});
  w.use();
  EXPECT_EQ(w.listed(), 3);
  // Once a real folder is in its place, the listing is kept again.
  ASSERT_EQ(::unlink(w.media.c_str()), 0);
  w.make(w.media);
  EXPECT_EQ(w.use(), Names{});
  EXPECT_EQ(w.use(), Names{});
  EXPECT_EQ(w.listed(), 1);
}

// Events beside the path fill the queue, so the one that matters is lost:
// only the overflow tells.
TEST(WatchedFiles, ALostEventIsListedAnew) {
  std::ifstream limit_file("/proc/sys/fs/inotify/max_queued_events");
  int limit = 0;
  if (!(limit_file >> limit) || limit > 100000) GTEST_SKIP() << "queue limit " << limit;
  Watched w;
  w.use();
  const std::string crowd = w.dir / "crowd";
  for (int k = 0; k <= limit; ++k) {
    const std::string name = crowd + std::to_string(k);
    ::close(::open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  }
  w.make(w.media + "/STICK");
  EXPECT_EQ(w.use(), Names{"STICK"});
  EXPECT_EQ(w.use(), Names{"STICK"});
  EXPECT_EQ(w.listed(), 2) << "at the start and after the overflow";
}

TEST(FolderWatch, APathWithMoreThanOneSpellingIsNeverComplete) {
  TempDir dir;
  for (const std::string& path :
       {dir.path + "/", dir.path + "/.", dir.path + "//x/..", std::string("relative")}) {
    FolderWatch watch(path);
    watch.arm();
    EXPECT_FALSE(watch.complete()) << path;
  }
  FolderWatch watch(dir.path);
  watch.arm();
  EXPECT_TRUE(watch.complete());
  EXPECT_FALSE(watch.changed());
}

}  // namespace
}  // namespace kestrel
