#include "tagsheet/repair.h"

#include <gtest/gtest.h>

#include <map>

#include "fakes.h"

namespace kestrel {
namespace {

const std::string header =
    "Equipment Stop Time: \n\n\nEquipment Start Time:08-00-05\nSerial No:SN-0042\n\n"
    "    Date       Time     Distance of Object\n";
const std::string row = "07-12-2026    08-10-12        1.25\n";
const std::string stop = "\nEquipment Stop Time:08-10-12";

std::string nuls(std::size_t count) { return std::string(count, '\0'); }

// The whole file judged from its end; the length kept, or -1 for "read more".
long long kept(const std::string& content) {
  auto length = whole_records_length(FileEnd{0, content});
  return length ? static_cast<long long>(*length) : -1;
}

// The header and as many rows as end at `limit` or before.
std::string rows_up_to(std::size_t limit) {
  std::string content = header;
  while (content.size() + row.size() <= limit) content += row;
  return content;
}

// 512 bytes (a boundary where the card or the page cache may cut a write):
// whole rows, then the start of `record`.
std::string to_boundary(const std::string& record) {
  const std::string rows = rows_up_to(512);
  return rows + record.substr(0, 512 - rows.size());
}

TEST(Repair, WholeFilesKeepEveryByte) {
  for (const std::string& content : {std::string(), header, header + row + row, header + row + stop,
                                     header + stop + header, header + stop + row}) {
    SCOPED_TRACE(content);
    EXPECT_EQ(kept(content), static_cast<long long>(content.size()));
  }
  // A stop line, or a header's first line, that ends on a boundary is whole.
  std::string stop_at_boundary = rows_up_to(480) + "\nEquipment Stop Time:";
  stop_at_boundary += std::string(512 - stop_at_boundary.size(), '7');
  EXPECT_EQ(kept(stop_at_boundary), 512);
}

TEST(Repair, ATailOfNulBytesGoes) {
  for (const std::string& whole :
       {header, header + row, header + row + stop, header + stop + row}) {
    SCOPED_TRACE(whole);
    for (std::size_t count : {1, 35, 4095}) {
      EXPECT_EQ(kept(whole + nuls(count)), static_cast<long long>(whole.size()));
    }
  }
  EXPECT_EQ(kept(nuls(70)), 0) << "nothing of the file reached the card";
}

TEST(Repair, ARecordCutShortGoesAndNoWholeOneDoes) {
  const std::string rows = header + row + row;
  // Before a tail of NUL bytes: a row cut short, or a header cut in a line
  // after its first; a stop line and a header's first line stay.
  EXPECT_EQ(kept(rows + row.substr(0, 20) + nuls(15)), static_cast<long long>(rows.size()));
  EXPECT_EQ(kept(rows + "Equipment Stop Time: \n\n\nEquipment St" + nuls(9)),
            static_cast<long long>(rows.size() + 24));
  EXPECT_EQ(kept(rows + "Equipment Stop Time:08-1" + nuls(9)),
            static_cast<long long>(rows.size() + 24));
  EXPECT_EQ(kept(rows + "\nEquipm" + nuls(9)), static_cast<long long>(rows.size() + 1));
  // On a boundary without NUL bytes: a row or a stop label cut short goes.
  for (const std::string& record : {row, stop}) {
    const std::string cut = to_boundary(record + record);
    ASSERT_EQ(cut.size(), 512u);
    EXPECT_LT(kept(cut), 512);
    EXPECT_GE(kept(cut), static_cast<long long>(rows_up_to(512).size()));
  }
  // Off a boundary a last line without a line end is a stop line's text, kept
  // whatever it holds (an edited last-seen file may hold several lines).
  const std::string edited = rows + "\nEquipment Stop Time:ab\ncd";
  ASSERT_NE(edited.size() % 512, 0u);
  EXPECT_EQ(kept(edited), static_cast<long long>(edited.size()));
}

TEST(Repair, AnEndThatDoesNotReachBackFarEnoughAsksForMore) {
  const std::string rows = header + row + row;
  auto judge = [](const std::string& content, std::size_t last) {
    return whole_records_length(
        FileEnd{content.size() - last, content.substr(content.size() - last)});
  };
  EXPECT_EQ(judge(rows + nuls(100), 50), std::nullopt) << "NUL bytes only";
  EXPECT_EQ(judge(rows + row.substr(0, 20) + nuls(15), 30), std::nullopt) << "no line start";
  EXPECT_EQ(judge(rows + nuls(15), 20), std::optional<std::uint64_t>(rows.size()));
  EXPECT_EQ(judge(rows + row.substr(0, 20) + nuls(15), 40),
            std::optional<std::uint64_t>(rows.size()));
}

// The file ends of a folder of tagsheets kept in memory.
struct MemoryEnds : FileEnds {
  std::optional<FileEnd> end_of(const std::string& path, std::size_t length) override {
    reads.push_back(path + " " + std::to_string(length));
    auto file = files.find(path);
    if (file == files.end()) return std::nullopt;
    const std::size_t from = file->second.size() - std::min(length, file->second.size());
    return FileEnd{from, file->second.substr(from)};
  }
  void cut(const std::string& path, std::uint64_t length) override { files[path].resize(length); }
  std::map<std::string, std::string> files;
  std::vector<std::string> reads;
};

TEST(Repair, EveryDaysTagsheetIsRepairedAndNothingElse) {
  testing::Fakes fakes;
  MemoryEnds ends;
  const std::string dir = "/home/pi/Configuration/Tagsheets";
  fakes.media = {{0, {"06-12-2026", "07-12-2026", "notes", "08-12-2026"}}};  // the listing
  const std::string long_day = header + std::string(5000, 'x') + "\n" + row + "07-12" + nuls(9000);
  ends.files = {
      {dir + "/06-12-2026/Non-Tag-06-12-2026.txt", header + row + nuls(35)},
      {dir + "/07-12-2026/Non-Tag-07-12-2026.txt", long_day},
      {dir + "/07-12-2026/other.txt", row + nuls(35)},
      {dir + "/08-12-2026/Non-Tag-08-12-2026.txt", header + row},
  };
  repair_tagsheets(dir, fakes, ends);
  EXPECT_EQ(ends.files[dir + "/06-12-2026/Non-Tag-06-12-2026.txt"], header + row);
  EXPECT_EQ(ends.files[dir + "/07-12-2026/Non-Tag-07-12-2026.txt"],
            header + std::string(5000, 'x') + "\n" + row);
  EXPECT_EQ(ends.files[dir + "/07-12-2026/other.txt"], row + nuls(35));
  EXPECT_EQ(ends.files[dir + "/08-12-2026/Non-Tag-08-12-2026.txt"], header + row);
  // One block of each file's end; the whole file only where that did not tell.
  EXPECT_EQ(ends.reads,
            (std::vector<std::string>{dir + "/06-12-2026/Non-Tag-06-12-2026.txt 4096",
                                      dir + "/07-12-2026/Non-Tag-07-12-2026.txt 4096",
                                      dir + "/07-12-2026/Non-Tag-07-12-2026.txt " +
                                          std::to_string(std::numeric_limits<std::size_t>::max()),
                                      dir + "/notes/Non-Tag-notes.txt 4096",
                                      dir + "/08-12-2026/Non-Tag-08-12-2026.txt 4096"}));
}

TEST(Repair, NoFolderNothingToRepair) {
  struct NoFolder : testing::Fakes {
    std::vector<std::string> list(const std::string& directory) override {
      throw OsError(ENOENT, directory);
    }
  } files;
  MemoryEnds ends;
  EXPECT_NO_THROW(repair_tagsheets("/nowhere", files, ends));
  EXPECT_TRUE(ends.reads.empty());
}

}  // namespace
}  // namespace kestrel
