#include "report/files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace kestrel::report {
namespace {

namespace fs = std::filesystem;

// Root reads any folder whatever its mode: while this lives, the process acts as an
// ordinary account would.
class AsOrdinaryAccount {
 public:
  AsOrdinaryAccount() : was_root_(::geteuid() == 0) {
    if (was_root_ && ::seteuid(65534) != 0) std::abort();
  }
  ~AsOrdinaryAccount() {
    if (was_root_ && ::seteuid(0) != 0) std::abort();
  }
  AsOrdinaryAccount(const AsOrdinaryAccount&) = delete;
  AsOrdinaryAccount& operator=(const AsOrdinaryAccount&) = delete;

 private:
  bool was_root_;
};

class FindTagsheetsTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::permissions(stick_.path, fs::perms::all); }

  void TearDown() override {
    for (const std::string& folder : unreadable_) fs::permissions(folder, fs::perms::all);
    std::fclose(messages_);
    std::free(buffer_);
  }

  void tagsheet(const std::string& relative) {
    fs::create_directories(fs::path(stick_ / relative).parent_path());
    std::ofstream(stick_ / relative) << row_;
  }

  // Made unreadable until the test ends; "" is the stick itself.
  void unreadable(const std::string& relative, fs::perms mode = fs::perms::none) {
    unreadable_.push_back(stick_ / relative);
    fs::permissions(unreadable_.back(), mode);
  }

  std::vector<std::string> found_as_an_ordinary_account() {
    AsOrdinaryAccount account;
    found_ = find_tagsheets(stick_.path, messages_);
    std::vector<std::string> relative;
    for (const TagsheetFile& file : found_.files) relative.push_back(file.relative);
    return relative;
  }

  std::string messages() {
    std::fflush(messages_);
    return std::string(buffer_, size_);
  }

  kestrel::testing::TempDir stick_;
  const std::string row_ = "07-12-2026    08-10-12        1.25\n";
  std::vector<std::string> unreadable_;
  FoundTagsheets found_;
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* messages_ = open_memstream(&buffer_, &size_);
};

TEST_F(FindTagsheetsTest, FindsTagsheetsAtAnyDepthInDateOrder) {
  tagsheet("08-12-2026/Non-Tag-08-12-2026.txt");
  tagsheet("07-12-2026/Non-Tag-07-12-2026.txt");
  tagsheet("old/2025/Non-Tag-31-12-2025.txt");
  tagsheet("Non-Tag-copy.txt");
  tagsheet("07-12-2026/notes.txt");
  fs::create_directory(stick_ / "Non-Tag-01-01-2026.txt");  // a folder of a tagsheet's name
  fs::create_directory_symlink(stick_ / "old", stick_ / "link");
  EXPECT_EQ(found_as_an_ordinary_account(),
            (std::vector<std::string>{"old/2025/Non-Tag-31-12-2025.txt",
                                      "07-12-2026/Non-Tag-07-12-2026.txt",
                                      "08-12-2026/Non-Tag-08-12-2026.txt", "Non-Tag-copy.txt"}));
  EXPECT_EQ(found_.files[1].size, row_.size());
  EXPECT_EQ(found_.unreadable_folders, 0u);
  EXPECT_EQ(messages(), "");
}

TEST_F(FindTagsheetsTest, AFolderThatCannotBeReadIsSkippedWithANote) {
  tagsheet("07-12-2026/Non-Tag-07-12-2026.txt");
  tagsheet("08-12-2026/Non-Tag-08-12-2026.txt");
  tagsheet("sub/09-12-2026/Non-Tag-09-12-2026.txt");
  // A link into such a folder is found all the same: its reader says it cannot open it.
  fs::create_symlink(stick_ / "08-12-2026/Non-Tag-08-12-2026.txt",
                     stick_ / "Non-Tag-10-12-2026.txt");
  unreadable("08-12-2026");
  unreadable("sub/09-12-2026", fs::perms::owner_write | fs::perms::owner_exec);
  EXPECT_EQ(
      found_as_an_ordinary_account(),
      (std::vector<std::string>{"07-12-2026/Non-Tag-07-12-2026.txt", "Non-Tag-10-12-2026.txt"}));
  EXPECT_EQ(found_.unreadable_folders, 2u);
  std::string notes = messages();
  EXPECT_NE(notes.find("08-12-2026: cannot read: Permission denied; skipped\n"), std::string::npos)
      << notes;
  EXPECT_NE(notes.find("sub/09-12-2026: cannot read: Permission denied; skipped\n"),
            std::string::npos)
      << notes;
}

TEST_F(FindTagsheetsTest, TheFolderAskedForMustBeReadable) {
  EXPECT_THROW(find_tagsheets(stick_ / "missing", messages_), fs::filesystem_error);
  unreadable("");
  EXPECT_THROW(found_as_an_ordinary_account(), fs::filesystem_error);
}

TEST(ReadFile, HandsOverTheWholeFileInPiecesOfTheBufferSize) {
  kestrel::testing::TempDir folder;
  std::string content = "Equipment Stop Time: \n\n\nrow one\n\nEquipment Stop Time:end";
  std::ofstream(folder / "tagsheet", std::ios::binary) << content;
  for (std::size_t buffer_size : {1, 7, 4096}) {
    std::vector<std::string> pieces;
    read_file(
        folder / "tagsheet", [&](std::string_view piece) { pieces.emplace_back(piece); },
        buffer_size);
    std::string joined;
    for (const std::string& piece : pieces) {
      EXPECT_LE(piece.size(), buffer_size);
      joined += piece;
    }
    EXPECT_EQ(joined, content) << "buffer of " << buffer_size;
  }
}

TEST(ReadFile, AFileThatCannotBeOpenedOrReadThrows) {
  kestrel::testing::TempDir folder;
  EXPECT_THROW(read_file(folder / "missing", [](std::string_view) {}), std::system_error);
  EXPECT_THROW(read_file(folder.path, [](std::string_view) {}), std::system_error) << "a folder";
}

}  // namespace
}  // namespace kestrel::report
