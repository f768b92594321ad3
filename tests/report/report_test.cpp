#include "report/core/report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tagsheet/records.h"
#include "tests/report/helpers.h"

namespace kestrel::report {
namespace {

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string fact(const std::vector<Fact>& facts, const std::string& name) {
  for (const Fact& fact : facts) {
    if (fact.name == name) return fact.value;
  }
  return "(none)";
}

std::string dd_mm_yyyy(Date date) {
  std::string iso = iso_date(date);
  return iso.substr(8, 2) + '-' + iso.substr(5, 2) + '-' + iso.substr(0, 4);
}

// A report whose outputs and messages go to strings; it prints two skipped lines a file.
class ReportTest : public ::testing::Test {
 protected:
  void TearDown() override {
    std::fclose(messages_);
    std::free(buffer_);
  }

  void file(const std::string& relative, std::optional<Date> date, const std::string& text) {
    report_.begin_file(relative, date);
    report_.feed(text);
    report_.end_file();
  }

  std::vector<Fact> finish() { return report_.finish("STICK", 0, runs_, page_); }

  std::string messages() {
    std::fflush(messages_);
    return std::string(buffer_, size_);
  }

  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* messages_ = open_memstream(&buffer_, &size_);
  StringSink detections_;
  StringSink runs_;
  StringSink page_;
  // Now is 2027-12-28.
  Report report_{detections_, messages_, ClockLimits{{2026, 6, 1}, 1830000000}, 2};
  std::string row_ = row("01-01-2027", "07-00-01", "1.00");
};

TEST_F(ReportTest, RowsCountTowardsTheRunOfTheirFile) {
  // A row before any header is a detection of no run; rows after the stop line, before the
  // restart, are still the run's; a second stop line comes from an export repeated.
  file("a/Non-Tag-01-01-2027.txt", Date{2027, 1, 1},
       row_ + header(" ", "07-00-00", "S") + row_ + stop_line("07-00-01") + row_ + stop_line(" "));
  file("b/Non-Tag-02-01-2027.txt", Date{2027, 1, 2}, row_ + header("07-00-01", "08-00-00", "S"));
  std::vector<Fact> facts = finish();
  EXPECT_EQ(
      runs_.text.substr(runs_.text.find('\n') + 1),
      "2027-01-01,07:00:00,\"\t \",\"\t07-00-01\",\"\tS\",2,yes,a/Non-Tag-01-01-2027.txt,2,ok\n"
      "2027-01-02,08:00:00,\"\t07-00-01\",,\"\tS\",0,no,b/Non-Tag-02-01-2027.txt,2,ok\n");
  EXPECT_EQ(fact(facts, "detections"), "4");
  EXPECT_EQ(count(detections_.text, "\n"), 1u + 4);
  EXPECT_EQ(messages(), "");
}

TEST_F(ReportTest, PrintsSkippedLinesUpToALimitPerFile) {
  file("a.txt", std::nullopt, "\nEquipment Stop Time:x\nhello\nhello\nhello\nhello\n");
  file("b.txt", std::nullopt, "Equipment Stop Time: \n" + row_);
  std::vector<Fact> facts = finish();
  EXPECT_EQ(messages(),
            "a.txt:2: stop line before any header; skipped\n"
            "a.txt:3: not a tagsheet record; skipped\n"
            "a.txt: 3 more lines skipped\n"
            "b.txt:1: header cut short; skipped\n");
  EXPECT_EQ(fact(facts, "lines skipped"), "6");
  EXPECT_EQ(fact(facts, "tagsheets not read to the end"), "(none)");
}

TEST_F(ReportTest, AFileReadInPartCountsWhatWasReadAndHasNoEndToCutARecordShortAt) {
  report_.begin_file("b.txt", std::nullopt);
  report_.feed("Equipment Stop Time: \n\n\n" + row_ + row_.substr(0, 20));
  report_.file_failed("cannot read: Input/output error");
  report_.end_file();
  std::vector<Fact> facts = finish();
  // The header cut short by the row is reported; the last line, cut where reading stopped,
  // is not, and neither is a header left open.
  EXPECT_EQ(messages(),
            "b.txt:1: header cut short; skipped\n"
            "b.txt: cannot read: Input/output error\n");
  EXPECT_EQ(fact(facts, "tagsheets not read to the end"), "1");
  EXPECT_EQ(fact(facts, "detections"), "1");
}

TEST_F(ReportTest, TheFactsNameEachLoggerOnceAndCountTheRunsWithAWrongClock) {
  file("a/Non-Tag-01-01-2027.txt", Date{2027, 1, 1},
       header(" ", "07-00-00", "SN-1\n") + row_ + header(" ", "06-00-00", "SN-2\r\n"));
  file("b/Non-Tag-03-01-2027.txt", Date{2027, 1, 3}, header(" ", "07-00-00", "SN-1\n"));
  std::vector<Fact> facts = report_.finish("STICK", 2, runs_, page_);
  std::vector<std::string> lines;
  for (const Fact& fact : facts) lines.push_back(fact.name + ": " + fact.value);
  EXPECT_EQ(
      lines,
      (std::vector<std::string>{
          "serial numbers: SN-1, SN-2", "first day: 2027-01-01", "last day: 2027-01-03",
          "days the logger ran: 2 of 3", "days with detections: 1", "clock: wrong in 1 of 3 runs",
          "tagsheets: 2", "runs: 3", "detections: 1", "first detection: 2027-01-01 07:00:01",
          "last detection: 2027-01-01 07:00:01", "closest distance: 1.00 m at 2027-01-01 07:00:01",
          "lines skipped: 0", "folders not read: 2"}));
}

// A clock that jumps a day with every row: 40,000 days (110 years) in 1.4 MB of tagsheet.
TEST_F(ReportTest, RowsOnManyDaysKeepThePageAndTheMemoryBounded) {
  constexpr int days = 40000;
  std::string tagsheet = header(" ", "08-00-00", "SN-0042\n");
  Date date{1950, 1, 1};
  for (int day = 0; day < days; ++day, date = next_day(date)) {
    tagsheet += row(dd_mm_yyyy(date), "08-10-12", "1.25");
  }
  file("01-01-1950/Non-Tag-01-01-1950.txt", Date{1950, 1, 1}, tagsheet);
  std::vector<Fact> facts = finish();

  EXPECT_EQ(count(detections_.text, "\n"), 1u + days);
  EXPECT_EQ(fact(facts, "days with detections"), "40000");
  EXPECT_EQ(fact(facts, "days the logger ran"), "40000 of 40000");
  EXPECT_EQ(fact(facts, "days shown day by day"), "3660, from 2049-06-30");
  EXPECT_EQ(count(page_.text, "<section id=\"day-"), max_days_by_day);
  EXPECT_EQ(page_.text.find("id=\"day-2049-06-29\""), std::string::npos);
  EXPECT_NE(page_.text.find("id=\"day-2059-07-07\""), std::string::npos);
  EXPECT_NE(page_.text.find("The 36340 days before them, 36340 detections, count in the totals"),
            std::string::npos);
  EXPECT_LT(page_.text.size(), 12u << 20) << "about 2.5 KB a day shown";
}

}  // namespace
}  // namespace kestrel::report
