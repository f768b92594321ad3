#include "report/line_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "tests/support/temp_dir.h"

namespace kestrel::report {
namespace {

class LineReaderTest : public ::testing::Test {
 protected:
  // Each line as "text|ended|too_long", read through a buffer of buffer_size bytes.
  std::vector<std::string> read(const std::string& content, std::size_t buffer_size) {
    std::ofstream(path_, std::ios::binary) << content;
    LineReader reader(path_, buffer_size);
    std::vector<std::string> lines;
    Line line;
    while (reader.next(line)) {
      lines.push_back(std::string(line.text) + "|" + (line.ended ? "ended" : "open") +
                      (line.too_long ? "|too long" : ""));
    }
    EXPECT_EQ(reader.bytes_read(), content.size());
    return lines;
  }

  kestrel::testing::TempDir folder_;
  const std::string path_ = folder_ / "tagsheet";
};

TEST_F(LineReaderTest, LinesAreTheSameWhateverTheBufferSize) {
  std::string content = "Equipment Stop Time: \n\n\nrow one\n\nEquipment Stop Time:end";
  std::vector<std::string> expected = {
      "Equipment Stop Time: |ended", "|ended", "|ended", "row one|ended", "|ended",
      "Equipment Stop Time:end|open"};
  for (std::size_t buffer_size : {1, 2, 3, 7, 22, 23, 4096}) {
    EXPECT_EQ(read(content, buffer_size), expected) << "buffer of " << buffer_size;
  }
}

TEST_F(LineReaderTest, AFinalLineEndAddsNoEmptyLine) {
  EXPECT_EQ(read("a\nb\n", 3), (std::vector<std::string>{"a|ended", "b|ended"}));
  EXPECT_EQ(read("", 3), std::vector<std::string>{});
  EXPECT_EQ(read("\n", 3), std::vector<std::string>{"|ended"});
}

TEST_F(LineReaderTest, CutsOverlongLinesAndKeepsCountingAfterThem) {
  std::string long_line(LineReader::max_line + 5, 'x');
  for (std::size_t buffer_size : {std::size_t{1000}, LineReader::max_line * 2}) {
    auto lines = read("a\n" + long_line + "\nb", buffer_size);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], std::string(LineReader::max_line, 'x') + "|ended|too long");
    EXPECT_EQ(lines[2], "b|open");
  }
}

// The page hands a file over in slices of any size: every split gives the same lines.
TEST(LineSplitter, LinesAreTheSameWhereverTheTextIsCut) {
  std::string text = "Equipment Stop Time: \n\n\nrow one\n\nEquipment Stop Time:end";
  auto lines = [](const std::vector<std::string_view>& pieces) {
    LineSplitter splitter;
    std::vector<std::string> found;
    Line line;
    for (std::string_view piece : pieces) {
      splitter.add(piece);
      while (splitter.next(line)) {
        found.push_back(std::string(line.text) + (line.ended ? "|ended" : "|open"));
      }
    }
    while (splitter.finish(line)) {
      found.push_back(std::string(line.text) + (line.ended ? "|ended" : "|open"));
    }
    return found;
  };
  std::vector<std::string> whole = lines({text});
  EXPECT_EQ(whole.size(), 6u);
  EXPECT_EQ(whole.back(), "Equipment Stop Time:end|open");
  std::string_view view(text);
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    for (std::size_t second = cut; second <= text.size(); second += 7) {
      EXPECT_EQ(lines({view.substr(0, cut), view.substr(cut, second - cut), view.substr(second)}),
                whole)
          << "cut at " << cut << " and " << second;
    }
  }
}

TEST_F(LineReaderTest, AMissingFileThrows) {
  EXPECT_THROW(LineReader(path_ + ".missing"), std::system_error);
}

}  // namespace
}  // namespace kestrel::report
