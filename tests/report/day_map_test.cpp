#include <gtest/gtest.h>

#include <string>

#include "report/core/days.h"

namespace kestrel::report {
namespace {

TEST(DayMap, MarksEveryDateATagsheetCanWriteAndOnlyRaisesItsState) {
  DayMap days;
  EXPECT_TRUE(days.empty());
  EXPECT_EQ(days.count(DayState::detections), 0u);
  for (Date date : {Date{2027, 3, 1}, Date{9999, 12, 31}, Date{2027, 2, 28}, Date{0, 1, 1}}) {
    days.mark(date, DayState::detections);
  }
  days.mark(Date{2027, 3, 1}, DayState::running);
  days.mark(Date{2027, 3, 2}, DayState::running);
  EXPECT_EQ(iso_date(days.first()), "0000-01-01");
  EXPECT_EQ(iso_date(days.last()), "9999-12-31");
  EXPECT_EQ(days.days(), 3652425u);
  EXPECT_EQ(days.count(DayState::detections), 4u);
  EXPECT_EQ(days.count(DayState::running), 1u);
  EXPECT_EQ(days.state(Date{2027, 3, 1}), DayState::detections)
      << "a run marks no day with detections";
  EXPECT_EQ(days.state(Date{2027, 3, 2}), DayState::running);
  EXPECT_EQ(days.state(Date{2027, 3, 3}), DayState::no_run);
}

}  // namespace
}  // namespace kestrel::report
