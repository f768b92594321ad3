#include "report/core/collector.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/report/helpers.h"

namespace kestrel::report {
namespace {

// A collector whose detections.csv and messages go to strings.
class CollectorTest : public ::testing::Test {
 protected:
  void TearDown() override {
    std::fclose(messages_);
    std::free(buffer_);
  }

  std::string messages() {
    std::fflush(messages_);
    return std::string(buffer_, size_);
  }

  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* messages_ = open_memstream(&buffer_, &size_);
  StringSink csv_;
  DetectionsCsv detections_{csv_};
  Summary summary_;
  Collector collector_{detections_, summary_, messages_, ClockLimits{{2026, 6, 1}, 1796731200}, 2};
  Row row_{{2027, 1, 1}, {7, 0, 1}, 100};
};

TEST_F(CollectorTest, RowsCountTowardsTheRunOfTheirFile) {
  collector_.begin_file("a/Non-Tag-01-01-2027.txt", Date{2027, 1, 1});
  collector_.row(row_, 1);  // before any header: a detection of no run
  collector_.header(Header{" ", "07-00-00", "S", 2});
  collector_.row(row_, 7);
  collector_.stop("07-00-01", 9);
  collector_.row(row_, 9);  // after the stop line, before the restart: still this run
  collector_.stop(" ", 10);
  collector_.end_file();
  collector_.begin_file("b/Non-Tag-02-01-2027.txt", Date{2027, 1, 2});
  collector_.row(row_, 1);
  collector_.header(Header{"07-00-01", "08-00-00", "S", 2});
  collector_.end_file();

  ASSERT_EQ(collector_.runs().size(), 2u);
  const RunRecord& first = collector_.runs()[0];
  EXPECT_EQ(first.rows, 2u);
  EXPECT_EQ(first.stop, "07-00-01");
  EXPECT_EQ(first.date, "2027-01-01");
  EXPECT_EQ(collector_.runs()[1].rows, 0u);
  EXPECT_EQ(collector_.runs()[1].file, "b/Non-Tag-02-01-2027.txt");
  EXPECT_FALSE(collector_.runs()[1].stop);
  EXPECT_EQ(summary_.detections(), 4u);
}

TEST_F(CollectorTest, PrintsSkippedLinesUpToALimitPerFile) {
  collector_.begin_file("a.txt", std::nullopt);
  collector_.stop("x", 3);
  for (std::uint64_t line = 4; line < 8; ++line) collector_.problem(line, "not a tagsheet record");
  collector_.end_file();
  collector_.begin_file("b.txt", std::nullopt);
  collector_.problem(1, "header cut short");
  collector_.file_failed("cannot read: Input/output error");
  collector_.end_file();
  EXPECT_EQ(messages(),
            "a.txt:3: stop line before any header; skipped\n"
            "a.txt:4: not a tagsheet record; skipped\n"
            "a.txt: 3 more lines skipped\n"
            "b.txt:1: header cut short; skipped\n"
            "b.txt: cannot read: Input/output error\n");
  EXPECT_EQ(collector_.skipped_lines(), 6u);
  EXPECT_EQ(collector_.unreadable_files(), 1u);
}

}  // namespace
}  // namespace kestrel::report
