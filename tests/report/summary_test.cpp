#include "report/summary.h"

#include <gtest/gtest.h>

namespace kestrel::report {
namespace {

Row at(Date date, TimeOfDay time, uint64_t centimetres) { return Row{date, time, centimetres}; }

TEST(Summary, CountsPerDayHourAndMinute) {
  Summary summary;
  Date day1{2026, 12, 31};
  Date day2{2027, 1, 1};
  summary.add(at(day1, {23, 59, 58}, 250));
  summary.add(at(day1, {23, 59, 59}, 120));
  summary.add(at(day2, {0, 0, 1}, 300));  // a run past midnight: the rows' own date counts
  summary.add(at(day1, {8, 0, 0}, 200));  // a later run on the first day, in another file

  ASSERT_EQ(summary.days().size(), 2u);
  const DayStats& first = summary.days().at(day1.key());
  EXPECT_EQ(first.detections, 3u);
  EXPECT_EQ(first.per_hour[23], 2u);
  EXPECT_EQ(first.per_hour[8], 1u);
  EXPECT_EQ(first.per_minute[23 * 60 + 59].nearest, 120u);
  EXPECT_EQ(first.per_minute[23 * 60 + 59].farthest, 250u);
  EXPECT_TRUE(first.per_minute[23 * 60 + 58].empty());
  EXPECT_EQ(first.closest.centimetres, 120u);
  EXPECT_EQ(summary.days().at(day2.key()).per_hour[0], 1u);
  EXPECT_EQ(summary.detections(), 4u);
}

TEST(Summary, FirstLastAndClosestGoByTimeNotByReadingOrder) {
  Summary summary;
  EXPECT_FALSE(summary.first());
  summary.add(at({2027, 1, 2}, {9, 0, 0}, 150));
  summary.add(at({2027, 1, 1}, {10, 0, 0}, 150));
  summary.add(at({2027, 1, 2}, {8, 0, 0}, 90));
  summary.add(at({2027, 1, 1}, {11, 0, 0}, 90));  // as close, read later, but earlier
  EXPECT_EQ(summary.first()->time.hour, 10);
  EXPECT_EQ(summary.last()->time.hour, 9);
  EXPECT_EQ(summary.closest()->date.day, 1);
  EXPECT_EQ(summary.closest()->time.hour, 11);
  EXPECT_EQ(summary.days().at(Date{2027, 1, 2}.key()).closest.time.hour, 8);
}

}  // namespace
}  // namespace kestrel::report
