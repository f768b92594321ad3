#include "report/core/clock_check.h"

#include <gtest/gtest.h>

#include <vector>

#include "report/core/fields.h"

namespace kestrel::report {
namespace {

Moment at(int year, int month, int day, int hour, int minute = 0, int second = 0) {
  return Moment{{year, month, day}, {hour, minute, second}};
}

// 2026-12-08 12:00:00 UTC.
const ClockLimits limits{{2026, 6, 1}, 1796731200};

// One run: its start, then its rows; returns its flags.
ClockFlags run(ClockCheck& check, const std::optional<Moment>& start,
               const std::vector<Moment>& rows = {}) {
  ClockFlags flags;
  check.run_start(start, flags);
  for (const Moment& row : rows) {
    check.row(row, flags);
  }
  return flags;
}

TEST(Moment, CountsSecondsLikeTheCalendar) {
  EXPECT_EQ(at(1970, 1, 1, 0, 0, 0).seconds(), 0);
  EXPECT_EQ(at(1969, 12, 31, 23, 59, 59).seconds(), -1);
  EXPECT_EQ(at(2026, 12, 7, 8, 10, 12).seconds(), 1796601600 + 8 * 3600 + 10 * 60 + 12);
}

TEST(ClockCheck, TheFirstReleaseIsTheOldestChangelogEntrysDay) {
  // debian/changelog: " -- kestrel developers <...>  Mon, 01 Jun 2026 12:00:00 +0000".
  Date first = first_release_date();
  EXPECT_EQ(iso_date(first), "2026-06-01");
}

TEST(ClockCheck, RunsInOrderAreOk) {
  ClockCheck check(limits);
  ClockFlags first =
      run(check, at(2026, 12, 7, 8), {at(2026, 12, 7, 8, 10), at(2026, 12, 7, 8, 10)});
  // Past midnight, and the next run the next morning.
  ClockFlags second = run(check, at(2026, 12, 7, 9), {at(2026, 12, 8, 0, 5)});
  ClockFlags third = run(check, at(2026, 12, 8, 6));
  EXPECT_TRUE(first.ok());
  EXPECT_TRUE(second.ok());
  EXPECT_TRUE(third.ok());
  EXPECT_EQ(first.text(limits), "ok");
}

TEST(ClockCheck, ARunThatStartsBeforeThePreviousRunsLastRow) {
  ClockCheck check(limits);
  ClockFlags before = run(check, at(2026, 12, 7, 8), {at(2026, 12, 7, 9, 30)});
  ClockFlags restored = run(check, at(2026, 12, 7, 9, 0), {at(2026, 12, 7, 9, 40)});
  EXPECT_TRUE(before.ok());
  EXPECT_TRUE(restored.starts_before_previous);
  EXPECT_EQ(restored.rows_back, 0u);
  EXPECT_EQ(restored.text(limits), "starts before the previous run's last row");
}

TEST(ClockCheck, APreviousRunWithoutRowsCountsFromItsStart) {
  ClockCheck check(limits);
  run(check, at(2026, 12, 7, 8));
  EXPECT_TRUE(run(check, at(2026, 12, 7, 7, 59, 59)).starts_before_previous);
  EXPECT_TRUE(run(check, at(2026, 12, 7, 7, 59, 59)).ok()) << "the same second is not earlier";
}

TEST(ClockCheck, RowsEarlierThanTheRowOrStartBeforeThem) {
  ClockCheck check(limits);
  ClockFlags flags = run(check, at(2026, 12, 7, 8),
                         {at(2026, 12, 7, 7, 59),  // before its own start
                          at(2026, 12, 7, 8, 30), at(2026, 12, 7, 8, 20),
                          at(2026, 12, 7, 8, 21),  // after the row before: not counted again
                          at(2026, 12, 6, 23, 0)});
  EXPECT_EQ(flags.rows_back, 3u);
  EXPECT_FALSE(flags.starts_before_previous);
  EXPECT_EQ(flags.text(limits), "3 rows earlier than the row before");
  EXPECT_EQ(run(check, at(2026, 12, 7, 9), {at(2026, 12, 7, 8, 59)}).text(limits),
            "1 row earlier than the row before");
}

TEST(ClockCheck, TheEndOfSummerTimeIsNoFault) {
  ClockCheck check(limits);
  EXPECT_TRUE(run(check, at(2026, 10, 25, 2, 59, 59), {at(2026, 10, 25, 2, 0, 0)}).ok());
  EXPECT_TRUE(run(check, at(2026, 11, 1, 1, 59, 59), {at(2026, 11, 1, 1, 0, 1)}).ok());
  EXPECT_TRUE(run(check, at(2026, 11, 2, 0, 0, 30), {at(2026, 11, 1, 23, 0, 30)}).ok());
  // Too far back, or by day: a clock that was set.
  EXPECT_EQ(run(check, at(2026, 11, 8, 2, 59, 59), {at(2026, 11, 8, 1, 59, 58)}).rows_back, 1u);
  EXPECT_EQ(run(check, at(2026, 11, 9, 12, 30), {at(2026, 11, 9, 12, 0)}).rows_back, 1u);
  // The same tolerance for a restart in the repeated hour.
  run(check, at(2026, 11, 10, 1), {at(2026, 11, 15, 2, 50)});
  EXPECT_TRUE(run(check, at(2026, 11, 15, 2, 10)).ok());
}

TEST(ClockCheck, DatesBeforeTheFirstRelease) {
  ClockCheck check(limits);
  EXPECT_TRUE(run(check, at(2026, 6, 1, 0)).ok());
  ClockCheck reset(limits);
  ClockFlags flags = run(reset, at(1970, 1, 1, 0, 0, 5), {at(1970, 1, 1, 0, 1)});
  EXPECT_TRUE(flags.before_first_release);
  EXPECT_EQ(flags.text(limits), "dates before the first release (2026-06-01)");
  ClockCheck late_row(limits);
  EXPECT_TRUE(run(late_row, at(2026, 6, 1, 0), {at(2026, 5, 31, 23, 59, 59)}).before_first_release);
}

TEST(ClockCheck, DatesInTheFutureOfEveryTimeZone) {
  // Now is 2026-12-08 12:00 UTC: 2026-12-09 02:00 at UTC+14, the farthest zone ahead.
  ClockCheck check(limits);
  EXPECT_TRUE(run(check, at(2026, 12, 9, 2, 0, 0)).ok());
  ClockCheck ahead(limits);
  EXPECT_TRUE(run(ahead, at(2026, 12, 9, 2, 0, 1)).in_the_future);
  ClockCheck far_ahead(limits);
  ClockFlags flags = run(far_ahead, at(2026, 12, 7, 8), {at(2038, 1, 19, 3, 14, 8)});
  EXPECT_TRUE(flags.in_the_future);
  EXPECT_EQ(flags.text(limits), "dates after the export (in the future)");
}

TEST(ClockCheck, ARunWithoutAStartIsNotComparedButItsRowsAre) {
  ClockCheck check(limits);
  run(check, at(2026, 12, 7, 8), {at(2026, 12, 7, 12)});
  ClockFlags unknown = run(check, std::nullopt, {at(2026, 12, 7, 9), at(2026, 12, 7, 8)});
  EXPECT_FALSE(unknown.starts_before_previous);
  EXPECT_EQ(unknown.rows_back, 1u);
  // The next run is compared with the last row of the run without a start.
  EXPECT_TRUE(run(check, at(2026, 12, 7, 8, 30)).ok());
}

TEST(ClockCheck, EveryProblemIsNamedOnce) {
  ClockCheck check(limits);
  run(check, at(2026, 12, 7, 8), {at(2026, 12, 7, 12)});
  ClockFlags flags =
      run(check, at(2019, 1, 1, 8), {at(2019, 1, 1, 10), at(2019, 1, 1, 9, 30), at(2099, 1, 1, 0)});
  EXPECT_EQ(flags.text(limits),
            "starts before the previous run's last row; 1 row earlier than the row before; "
            "dates before the first release (2026-06-01); dates after the export (in the future)");
}

}  // namespace
}  // namespace kestrel::report
