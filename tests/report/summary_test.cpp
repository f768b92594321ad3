#include "report/core/summary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel::report {
namespace {

Row at(Date date, TimeOfDay time, std::uint64_t centimetres) {
  return Row{date, time, centimetres};
}

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

TEST(Summary, KeepsTheLatestDaysDayByDayAndOnlyCountsTheOthers) {
  Summary summary(3);
  const Date d1{2026, 12, 30};
  const Date d2{2026, 12, 31};
  const Date d3{2027, 1, 1};
  const Date d4{2027, 1, 2};
  const Date d5{2027, 1, 3};
  summary.add(at(d2, {8, 0, 0}, 150));
  summary.add(at(d4, {8, 0, 0}, 150));
  summary.add(at(d1, {8, 0, 0}, 50));  // three days: all kept
  EXPECT_FALSE(summary.cut_off_before());
  summary.add(at(d3, {8, 0, 0}, 150));  // a fourth, later: the earliest, d1, goes
  summary.add(at(d1, {9, 0, 0}, 150));  // before the days kept: only counted
  summary.add(at(d5, {8, 0, 0}, 150));  // d2 goes
  summary.add(at(d2, {9, 0, 0}, 150));

  std::vector<int> kept;
  for (const auto& [key, day] : summary.days()) kept.push_back(key);
  EXPECT_EQ(kept, (std::vector<int>{d3.key(), d4.key(), d5.key()}));
  EXPECT_EQ(summary.cut_off_before()->key(), d3.key());
  EXPECT_EQ(summary.detection_days().count(DayState::detections), 5u);
  EXPECT_EQ(summary.detections_cut_off(), 4u);
  EXPECT_EQ(summary.detections(), 7u);
  EXPECT_EQ(summary.days().at(d3.key()).detections, 1u);
  // The totals still see every row.
  EXPECT_EQ(summary.first()->date.key(), d1.key());
  EXPECT_EQ(summary.closest()->centimetres, 50u);
}

}  // namespace
}  // namespace kestrel::report
