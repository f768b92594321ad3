#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/core/fields.h"
#include "report/core/summary.h"

namespace kestrel::report {
namespace {

TEST(DaySet, HoldsEachDateOnceInDateOrderFromTheFirstYearToTheLast) {
  DaySet set;
  EXPECT_TRUE(set.empty());
  for (Date date :
       {Date{2027, 3, 1}, Date{9999, 12, 31}, Date{2027, 2, 28}, Date{0, 1, 1}, Date{2027, 3, 1}}) {
    set.insert(date);
  }
  std::vector<std::string> dates;
  set.for_each([&](Date date) { dates.push_back(iso_date(date)); });
  EXPECT_EQ(dates,
            (std::vector<std::string>{"0000-01-01", "2027-02-28", "2027-03-01", "9999-12-31"}));
  EXPECT_EQ(set.size(), 4u);
  EXPECT_EQ(iso_date(set.first()), "0000-01-01");
  EXPECT_EQ(iso_date(set.last()), "9999-12-31");
}

}  // namespace
}  // namespace kestrel::report
