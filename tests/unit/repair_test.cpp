#include "tagsheet/repair.h"

#include <gtest/gtest.h>

#include <limits>

#include "fakes.h"
#include "tests/support/line_ends.h"

namespace kestrel {
namespace {

using testing::Log;

const std::string header =
    "Equipment Stop Time: \n\n\nEquipment Start Time:08-00-05\nSerial No:SN-0042\n\n"
    "    Date       Time     Distance of Object\n";
// Line ends in the last-seen text and the serial number add lines to a header.
const std::string tall_header =
    "Equipment Stop Time:07-00-01\nmore\n\n\nEquipment Start Time:09-00-00\nSerial No:A\nB\n\n"
    "    Date       Time     Distance of Object\n";
const std::string row = "07-12-2026    08-10-12        1.25\n";
const std::string stop = "\nEquipment Stop Time:08-10-12";
const std::string label = "Equipment Stop Time:";
const std::string rows = header + row + row;

std::string nuls(std::size_t count) { return std::string(count, '\0'); }

long long size_of(const std::string& text) { return static_cast<long long>(text.size()); }

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
  const std::string whole_rows = rows_up_to(512);
  return whole_rows + record.substr(0, 512 - whole_rows.size());
}

TEST(Repair, WholeFilesKeepEveryByte) {
  for (const std::string& content :
       {std::string(), header, header + row + row, header + row + stop, header + stop + header,
        header + stop + row, header + stop + stop}) {
    SCOPED_TRACE(content);
    EXPECT_EQ(kept(content), size_of(content));
  }
  // A stop line that ends on a boundary is whole, whatever its value.
  std::string stop_at_boundary = rows_up_to(480) + "\nEquipment Stop Time:";
  stop_at_boundary += std::string(512 - stop_at_boundary.size(), '7');
  EXPECT_EQ(kept(stop_at_boundary), 512);
}

TEST(Repair, ATailOfNulBytesGoes) {
  for (const std::string& whole :
       {header, header + row, header + row + stop, header + stop + row, header + stop + stop,
        header + stop + tall_header, rows + tall_header}) {
    SCOPED_TRACE(whole);
    for (std::size_t count : {1, 35, 4095}) {
      EXPECT_EQ(kept(whole + nuls(count)), size_of(whole));
    }
  }
  EXPECT_EQ(kept(nuls(70)), 0) << "nothing of the file reached the card";
}

TEST(Repair, ARecordCutShortGoesAndNoWholeOneDoes) {
  // Before a tail of NUL bytes: a row cut short goes, a stop line stays.
  EXPECT_EQ(kept(rows + row.substr(0, 20) + nuls(15)), size_of(rows));
  EXPECT_EQ(kept(rows + "\nEquipment Stop Time:08-1" + nuls(9)), size_of(rows) + 25);
  // On a boundary without NUL bytes: a row or a stop label cut short goes.
  for (const std::string& record : {row, stop}) {
    const std::string cut = to_boundary(record + record);
    ASSERT_EQ(cut.size(), 512u);
    EXPECT_LT(kept(cut), 512);
    EXPECT_GE(kept(cut), size_of(rows_up_to(512)));
  }
  // Off a boundary a last line without a line end is a stop line's text, kept
  // whatever it holds (an edited last-seen file may hold several lines).
  const std::string edited = rows + "\nEquipment Stop Time:ab\ncd";
  ASSERT_NE(edited.size() % 512, 0u);
  EXPECT_EQ(kept(edited), size_of(edited));
}

// Wherever a cut falls in a header, before its title line has ended, the
// whole header goes and the next one starts where it began.
TEST(Repair, AHeaderCutShortGoesWhole) {
  for (const std::string& whole : {header, tall_header}) {
    for (std::size_t length = 1; length < whole.size(); ++length) {
      const std::string cut = whole.substr(0, length);
      SCOPED_TRACE(cut);
      EXPECT_EQ(kept(cut + nuls(9)), 0) << "the file's first header";
      EXPECT_EQ(kept(rows + cut + nuls(9)), size_of(rows)) << "after a row";
      EXPECT_EQ(kept(rows + stop + row + cut + nuls(9)), size_of(rows + stop + row))
          << "after a row that continues a stop line";
      if (length >= label.size()) {
        EXPECT_EQ(kept(rows + stop + cut + nuls(9)), size_of(rows + stop))
            << "continuing a stop line";
      }
    }
  }
  // The lines of no header the logger writes: only the last line goes.
  const std::string long_text = label + std::string(20, '\n') + "Serial No:";
  EXPECT_EQ(kept(rows + long_text + nuls(9)), size_of(rows + long_text) - 10);
}

// A stop line brings its own line end, so its label follows an empty line, or
// a stop line when the end path ran twice; a header's label follows anything
// else.
TEST(Repair, WhatComesBeforeTheStopLabelTellsAStopLineFromAHeader) {
  const std::string first_line = label + "07-1";
  for (const std::string& before : {rows, header, rows + stop + row}) {
    SCOPED_TRACE(before);
    EXPECT_EQ(kept(before + first_line + nuls(9)), size_of(before)) << "a header cut short";
    EXPECT_EQ(kept(before + "\n" + first_line + nuls(9)), size_of(before + "\n" + first_line))
        << "a stop line";
  }
  EXPECT_EQ(kept(rows + stop + "\n" + first_line + nuls(9)),
            size_of(rows + stop + "\n" + first_line))
      << "a second stop line";
}

TEST(Repair, AStopLineCutInItsLabelTakesItsLineEndAlong) {
  for (std::size_t length = 0; length < label.size(); ++length) {
    const std::string cut = "\n" + label.substr(0, length);
    SCOPED_TRACE(cut);
    EXPECT_EQ(kept(rows + cut + nuls(9)), size_of(rows));
    EXPECT_EQ(kept(header + cut + nuls(9)), size_of(header));
    EXPECT_EQ(kept(rows + stop + cut + nuls(9)), size_of(rows + stop));
  }
}

// An editor may have saved the file with CR or CR LF line ends, and put a
// byte-order mark first; the logger's records with LF follow.
TEST(Repair, EveryLineEndCountsAndAByteOrderMarkBeginsNoLine) {
  for (const std::string line_end : {"\r", "\r\n"}) {
    SCOPED_TRACE(line_end == "\r" ? "CR" : "CR LF");
    const std::string edited = testing::with_line_ends(rows, line_end);
    EXPECT_EQ(kept(edited + nuls(35)), size_of(edited));
    EXPECT_EQ(kept(edited + row.substr(0, 20) + nuls(9)), size_of(edited));
    EXPECT_EQ(kept(edited + testing::with_line_ends(header, line_end).substr(0, 60) + nuls(9)),
              size_of(edited));
    EXPECT_EQ(kept(edited + testing::with_line_ends("\nEquipm", line_end) + nuls(9)),
              size_of(edited));
    EXPECT_EQ(kept(edited + rows + nuls(9)), size_of(edited + rows));
    EXPECT_EQ(kept(edited + header.substr(0, 30) + nuls(9)), size_of(edited));
  }
  const std::string cut_in_line_end = header + row.substr(0, row.size() - 1) + "\r";
  EXPECT_EQ(kept(cut_in_line_end + nuls(1)), size_of(cut_in_line_end))
      << "a CR LF cut after its CR still ended its line";

  const std::string mark = "\xEF\xBB\xBF";
  for (const std::string& whole : {rows, testing::with_line_ends(rows, "\r")}) {
    EXPECT_EQ(kept(mark + whole + nuls(35)), size_of(mark + whole));
  }
  EXPECT_EQ(kept(mark + header.substr(0, 60) + nuls(9)), 3)
      << "the first header goes, the mark stays";
  EXPECT_EQ(kept(mark + nuls(9)), 3);
}

TEST(Repair, AnEndThatDoesNotReachBackFarEnoughAsksForMore) {
  auto judge = [](const std::string& content, std::size_t last) {
    return whole_records_length(
        FileEnd{content.size() - last, content.substr(content.size() - last)});
  };
  const std::string cut_row = rows + row.substr(0, 20) + nuls(15);
  EXPECT_EQ(judge(rows + nuls(100), 50), std::nullopt) << "NUL bytes only";
  EXPECT_EQ(judge(cut_row, 30), std::nullopt) << "no line start";
  // The line before the last tells a row from a header's line, and a stop
  // line from a header.
  EXPECT_EQ(judge(cut_row, 40), std::nullopt);
  EXPECT_EQ(judge(rows + nuls(15), 20), std::nullopt);
  EXPECT_EQ(judge(rows + stop + nuls(9), stop.size() + 9), std::nullopt);
  EXPECT_EQ(judge(rows + nuls(15), 60), std::optional<std::uint64_t>(rows.size()));
  EXPECT_EQ(judge(cut_row, 80), std::optional<std::uint64_t>(rows.size()));
  EXPECT_EQ(judge(rows + stop + nuls(9), stop.size() + 11),
            std::optional<std::uint64_t>(rows.size() + stop.size()));
}

TEST(Repair, EveryDaysTagsheetIsRepairedAndNothingElse) {
  testing::Fakes fakes;
  const std::string dir = "/home/pi/Configuration/Tagsheets";
  const std::string day6 = dir + "/06-12-2026/Non-Tag-06-12-2026.txt";
  const std::string day7 = dir + "/07-12-2026/Non-Tag-07-12-2026.txt";
  const std::string day8 = dir + "/08-12-2026/Non-Tag-08-12-2026.txt";
  const std::string long_day = header + std::string(5000, 'x') + "\n" + row + "07-12" + nuls(9000);
  fakes.content = {
      {day6, header + row + nuls(35)},
      {day7, long_day},
      {dir + "/07-12-2026/other.txt", row + nuls(35)},
      {day8, header + row},
      {dir + "/notes/todo.txt", row + nuls(35)},
  };
  repair_tagsheets(dir, fakes, fakes);
  EXPECT_EQ(fakes.content[day6], header + row);
  EXPECT_EQ(fakes.content[day7], header + std::string(5000, 'x') + "\n" + row);
  EXPECT_EQ(fakes.content[dir + "/07-12-2026/other.txt"], row + nuls(35));
  EXPECT_EQ(fakes.content[day8], header + row);
  EXPECT_EQ(fakes.content[dir + "/notes/todo.txt"], row + nuls(35));
  // One block of each file's end; the whole file only where that did not tell.
  const std::string whole = std::to_string(std::numeric_limits<std::size_t>::max());
  EXPECT_EQ(fakes.log,
            (Log{"list " + dir, "end_of " + day6 + " 4096",
                 "cut " + day6 + " " + std::to_string((header + row).size()),
                 "end_of " + day7 + " 4096", "end_of " + day7 + " " + whole,
                 "cut " + day7 + " " + std::to_string(long_day.size() - 9005),
                 "end_of " + day8 + " 4096", "end_of " + dir + "/notes/Non-Tag-notes.txt 4096"}));
}

TEST(Repair, NoFolderNothingToRepair) {
  struct NoFolder : testing::Fakes {
    std::vector<std::string> list(const std::string& directory) override {
      throw OsError(ENOENT, directory);
    }
  } files;
  EXPECT_NO_THROW(repair_tagsheets("/nowhere", files, files));
  EXPECT_TRUE(files.log.empty());
}

}  // namespace
}  // namespace kestrel
