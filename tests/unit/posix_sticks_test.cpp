#include "platform/posix_sticks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support.h"

namespace kestrel {
namespace {

using testing::TempDir;
using Finding = CopyCheck::Finding;
using namespace std::chrono_literals;

void write(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

struct Copy {
  TempDir board, stick;
  std::vector<std::string> names = {"01-12-2026/Non-Tag-01-12-2026.txt",
                                    "02-12-2026/Non-Tag-02-12-2026.txt"};
  Copy() {
    both(names[0], "first\n");
    both(names[1], std::string(200000, 'r'));  // more than one block of the compare
  }
  void both(const std::string& name, const std::string& bytes) {
    write(board / name, bytes);
    write(stick / name, bytes);
  }
  CopyCheck check(std::chrono::milliseconds limit = 10s) {
    return PosixSticks().check(board.path, stick.path, names, limit);
  }
};

TEST(PosixSticks, AFaithfulCopyIsAllTheSameWithTheSticksState) {
  Copy copy;
  copy.names.push_back("kestrel-report.html/Non-Tag-kestrel-report.html.txt");  // no tagsheet
  write(copy.board / "kestrel-report.html", "<html>");
  const CopyCheck check = copy.check();
  EXPECT_EQ(check.finding, Finding::all_same);
  EXPECT_EQ(check.compared, 2u);
  EXPECT_EQ(check.name, "");
  EXPECT_TRUE(check.present);
  EXPECT_FALSE(check.mounted) << "a folder of the board is no stick";
  EXPECT_FALSE(check.read_only);
  EXPECT_GT(check.free_bytes, 0u);
}

TEST(PosixSticks, TheFirstCopyThatIsNotTheSameIsNamed) {
  struct Case {
    const char* what;
    std::string copied;  // the second copy's content; "-" for none
    Finding finding;
  };
  for (const Case& c :
       {Case{"missing", "-", Finding::copy_missing},
        Case{"cut short", std::string(199999, 'r'), Finding::copy_different},
        Case{"longer", std::string(200001, 'r'), Finding::copy_different},
        Case{"one byte off", std::string(100000, 'r') + 'x' + std::string(99999, 'r'),
             Finding::copy_different}}) {
    SCOPED_TRACE(c.what);
    Copy copy;
    if (c.copied == "-") {
      std::filesystem::remove(copy.stick / copy.names[1]);
    } else {
      write(copy.stick / copy.names[1], c.copied);
    }
    const CopyCheck check = copy.check();
    EXPECT_EQ(check.finding, c.finding);
    EXPECT_EQ(check.name, copy.names[1]);
    EXPECT_EQ(check.compared, 1u);
    EXPECT_EQ(check.not_same, 1u);
    EXPECT_EQ(check.not_copied, 200000u);
  }
}

TEST(PosixSticks, EveryCopyIsCheckedToTellHowMuchIsMissing) {
  Copy copy;
  std::filesystem::remove(copy.stick / copy.names[0]);
  write(copy.stick / copy.names[1], "cut");
  const CopyCheck check = copy.check();
  EXPECT_EQ(check.finding, Finding::copy_missing);
  EXPECT_EQ(check.name, copy.names[0]);
  EXPECT_EQ(check.compared, 0u);
  EXPECT_EQ(check.not_same, 2u);
  EXPECT_EQ(check.not_copied, 200006u);
}

TEST(PosixSticks, AFolderInPlaceOfTheCopysFolderIsAMissingCopy) {
  Copy copy;
  std::filesystem::remove_all(copy.stick.path + "/01-12-2026");
  write(copy.stick.path + "/01-12-2026", "a file where the day's folder belongs");
  const CopyCheck check = copy.check();
  EXPECT_EQ(check.finding, Finding::copy_missing);
  EXPECT_EQ(check.name, copy.names[0]);
}

TEST(PosixSticks, AStickThatWentAwayIsNotPresent) {
  Copy copy;
  const CopyCheck check =
      PosixSticks().check(copy.board.path, copy.stick / "gone", copy.names, 10s);
  EXPECT_EQ(check.finding, Finding::copy_missing);
  EXPECT_FALSE(check.present);
}

TEST(PosixSticks, ACheckThatOutlivesItsLimitIsEndedUnfinished) {
  Copy copy;
  copy.both(copy.names[1], std::string(64 << 20, 'r'));
  EXPECT_EQ(copy.check(1ms).finding, Finding::unfinished);
}

TEST(PosixSticks, TotalSizeCountsRegularFilesOnly) {
  Copy copy;
  EXPECT_EQ(PosixSticks().total_size({copy.board / copy.names[0], copy.board / copy.names[1],
                                      copy.board / "missing", copy.board.path}),
            200006u);
}

}  // namespace
}  // namespace kestrel
