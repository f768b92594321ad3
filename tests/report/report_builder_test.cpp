#include "report/core/report_builder.h"

#include <gtest/gtest.h>

#include <cstdio>
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

// A clock that jumps a day with every row: 40,000 days (110 years) in 1.4 MB of tagsheet.
TEST(ReportBuilder, RowsOnManyDaysKeepThePageAndTheMemoryBounded) {
  constexpr int days = 40000;
  std::string tagsheet = header(" ", "08-00-00", "SN-0042\n");
  Date date{1950, 1, 1};
  for (int day = 0; day < days; ++day, date = next_day(date)) {
    tagsheet += row(dd_mm_yyyy(date), "08-10-12", "1.25");
  }
  StringSink detections;
  StringSink runs;
  StringSink page;
  std::FILE* problems = std::tmpfile();
  ReportBuilder report(detections, problems, ClockLimits{{2026, 6, 1}, 1796731200});
  report.begin_file("01-01-1950/Non-Tag-01-01-1950.txt", Date{1950, 1, 1});
  LineSplitter lines;
  lines.add(tagsheet);
  for (Line line; lines.next(line);) report.line(line);
  report.end_file();
  std::vector<Fact> facts = report.finish("STICK", runs, page);
  std::fclose(problems);

  EXPECT_EQ(count(detections.text, "\n"), 1u + days);
  EXPECT_EQ(fact(facts, "days with detections"), "40000");
  EXPECT_EQ(fact(facts, "days the logger ran"), "40000 of 40000");
  EXPECT_EQ(fact(facts, "days shown day by day"), "3660, from 2049-06-30");
  EXPECT_EQ(count(page.text, "<section id=\"day-"), max_days_by_day);
  EXPECT_EQ(page.text.find("id=\"day-2049-06-29\""), std::string::npos);
  EXPECT_NE(page.text.find("id=\"day-2059-07-07\""), std::string::npos);
  EXPECT_NE(page.text.find("The 36340 days before them, 36340 detections, count in the totals"),
            std::string::npos);
  EXPECT_LT(page.text.size(), 12u << 20) << "about 2.5 KB a day shown";
}

}  // namespace
}  // namespace kestrel::report
