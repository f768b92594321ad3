#include "report/core/fields.h"

#include <gtest/gtest.h>

#include <string>

#include "tagsheet/records.h"

namespace kestrel::report {
namespace {

TEST(Fields, RowTextBecomesDateTimeAndHundredths) {
  auto row = parse_row("29-02-2028    23-59-60        655.35");
  ASSERT_TRUE(row);
  EXPECT_EQ(iso_date(row->date) + "T" + iso_time(row->time), "2028-02-29T23:59:60");
  EXPECT_EQ(row->centimetres, 65535u);
  EXPECT_EQ(distance_text(row->centimetres), "655.35");
  EXPECT_EQ(distance_text(parse_row("01-01-2027    00-00-00        0.05")->centimetres), "0.05");
}

TEST(Fields, ReadsTheDatesAndTimesTheLoggerWrites) {
  for (const kestrel::LocalTime& reading :
       {kestrel::LocalTime{2026, 12, 7, 8, 10, 12}, kestrel::LocalTime{2028, 2, 29, 23, 59, 60},
        kestrel::LocalTime{1970, 1, 1, 0, 0, 0}}) {
    const std::string date = kestrel::date_text(reading);
    const std::string time = kestrel::time_text(reading);
    ASSERT_TRUE(parse_date(date)) << date;
    ASSERT_TRUE(parse_time(time)) << time;
    EXPECT_EQ(parse_date(date)->key(), (reading.year * 100 + reading.month) * 100 + reading.day);
    EXPECT_EQ(parse_time(time)->seconds(),
              (reading.hour * 60 + reading.minute) * 60 + reading.second);
  }
}

TEST(Fields, RejectsWhatTheLoggerNeverWrites) {
  for (const char* text : {
           "29-02-2027    07-00-00        1.00",  // no leap day that year
           "00-01-2027    07-00-00        1.00", "01-13-2027    07-00-00        1.00",
           "01-01-2027    07-60-00        1.00", "01-01-2027    07-00-61        1.00",
           "1-01-2027     07-00-00        1.00",  // not filled to width
           "01-01-2027   07-00-00         1.00", "01-01-2027    07-00-00       1.00",
           "01-01-2027    07-00-00        1.000", "01-01-2027    07-00-00        -1.00",
           "01-01-2027    07-00-00        1,00", "01-01-2027    07-00-00        .50",
           "01-01-2027    07-00-00        1.00 ", "01-01-2027    07-00-00        ",
           "01/01/2027    07-00-00        1.00", "01-01-2027    07:00:00        1.00",
           "01-01-2027    07-00-00        1234567890123.00",  // more digits than a count holds
       }) {
    EXPECT_FALSE(parse_row(text)) << text;
  }
}

TEST(Fields, ReadsDatesAndTimesOnlyInTheShapesTheLoggerWrites) {
  EXPECT_EQ(parse_date("07-12-2026")->key(), 20261207);
  EXPECT_EQ(parse_date("31-12-9999")->key(), 99991231);
  EXPECT_EQ(parse_time("23-59-60")->seconds(), 86400);
  for (const char* text : {"07-12-202", "07-12-20261", "7-12-2026", "07-122026 ", "07_12-2026",
                           "07-12_2026", "0x-12-2026", "07-12-20 6", "2026-12-07"}) {
    EXPECT_FALSE(parse_date(text)) << text;
  }
  for (const char* text :
       {"08-10-1", "08-10-123", "08:10-12", "08-10:12", "24-00-00", "08-1a-12", "8-10-12 "}) {
    EXPECT_FALSE(parse_time(text)) << text;
  }
}

TEST(Fields, FindsARowThatContinuesAStopLine) {
  std::string row = "07-12-2026    08-10-14        1.25";
  EXPECT_EQ(trailing_row_start("08-10-13" + row), 8u);
  EXPECT_EQ(trailing_row_start(row), 0u);
  EXPECT_EQ(trailing_row_start("08-10-13"), std::string_view::npos);
  EXPECT_EQ(trailing_row_start("x" + row.substr(0, row.size() - 1)), std::string_view::npos);
}

}  // namespace
}  // namespace kestrel::report
