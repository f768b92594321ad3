#include "report/core/calendar.h"

#include <gtest/gtest.h>

#include "report/core/fields.h"

namespace kestrel::report {
namespace {

TEST(Calendar, CountsDaysFrom1970AsTheSystemClockDoes) {
  EXPECT_EQ(day_number({1970, 1, 1}), 0);
  EXPECT_EQ(day_number({1969, 12, 31}), -1);
  EXPECT_EQ(day_number({2000, 3, 1}) * seconds_per_day, 951868800);
  EXPECT_EQ(day_number({2024, 2, 29}) * seconds_per_day, 1709164800);
  EXPECT_EQ(day_number({2026, 12, 7}) * seconds_per_day, 1796601600);
  EXPECT_EQ(day_number({0, 1, 1}), -719528);
  EXPECT_EQ(day_number({9999, 12, 31}), 2932896);
}

TEST(Calendar, EveryDayATagsheetCanWriteComesBackFromItsNumberInOrder) {
  Date before = date_of_day(day_number({0, 1, 1}) - 1);
  EXPECT_EQ(before.year, -1);
  EXPECT_EQ(before.month, 12);
  EXPECT_EQ(before.day, 31);
  for (std::int64_t number = day_number({0, 1, 1}); number <= day_number({9999, 12, 31});
       ++number) {
    Date date = date_of_day(number);
    ASSERT_TRUE(is_calendar_date(date)) << number;
    ASSERT_EQ(day_number(date), number) << iso_date(date);
    ASSERT_EQ(next_day(before).key(), date.key()) << iso_date(date);
    before = date;
  }
  EXPECT_EQ(iso_date(before), "9999-12-31");
}

TEST(Calendar, KnowsLeapDaysAndMonthLengths) {
  for (Date date : {Date{2000, 2, 29}, Date{2028, 2, 29}, Date{2026, 4, 30}, Date{2026, 12, 31},
                    Date{0, 2, 29}}) {
    EXPECT_TRUE(is_calendar_date(date)) << iso_date(date);
  }
  for (Date date : {Date{1900, 2, 29}, Date{2100, 2, 29}, Date{2027, 2, 29}, Date{2026, 4, 31},
                    Date{2026, 0, 1}, Date{2026, 13, 1}, Date{2026, 1, 0}, Date{2026, 1, 32}}) {
    EXPECT_FALSE(is_calendar_date(date)) << iso_date(date);
  }
}

TEST(Calendar, NextDayAndMonthRollOverMonthsYearsAndLeapDays) {
  EXPECT_EQ(iso_date(next_day(Date{2028, 2, 28})), "2028-02-29");
  EXPECT_EQ(iso_date(next_day(Date{2027, 2, 28})), "2027-03-01");
  EXPECT_EQ(iso_date(next_day(Date{2100, 2, 28})), "2100-03-01");
  EXPECT_EQ(iso_date(next_day(Date{2026, 12, 31})), "2027-01-01");
  EXPECT_EQ(iso_date(first_of_next_month(Date{2026, 11, 30})), "2026-12-01");
  EXPECT_EQ(iso_date(first_of_next_month(Date{2026, 12, 7})), "2027-01-01");
}

}  // namespace
}  // namespace kestrel::report
