#include "report/core/csv.h"

#include <gtest/gtest.h>

#include <string>

#include "report/files.h"
#include "tests/report/helpers.h"

namespace kestrel::report {
namespace {

TEST(Csv, QuotesOnlyFieldsThatNeedIt) {
  EXPECT_EQ(csv_field("08-10-13"), "08-10-13");
  EXPECT_EQ(csv_field(""), "");
  EXPECT_EQ(csv_field(" "), "\" \"");
  EXPECT_EQ(csv_field("SN 42"), "SN 42");
  EXPECT_EQ(csv_field("a,b"), "\"a,b\"");
  EXPECT_EQ(csv_field("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(csv_field("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(csv_field("cr\r"), "\"cr\r\"");
}

TEST(Csv, TextsThatASpreadsheetWouldRunAsAFormulaStartWithAQuote) {
  EXPECT_EQ(csv_field("=HYPERLINK(\"x\")"), "\"'=HYPERLINK(\"\"x\"\")\"");
  EXPECT_EQ(csv_field("+1"), "'+1");
  EXPECT_EQ(csv_field("-2+3"), "'-2+3");
  EXPECT_EQ(csv_field("@SUM(A1:A9)"), "'@SUM(A1:A9)");
  EXPECT_EQ(csv_field("\t=1"), "'\t=1");
  EXPECT_EQ(csv_field("\r=1"), "\"'\r=1\"");
  EXPECT_EQ(csv_field("=1,2"), "\"'=1,2\"");
  // Only the first character counts; a blank before it is no formula.
  EXPECT_EQ(csv_field("SN-0042=1"), "SN-0042=1");
  EXPECT_EQ(csv_field(" =1"), "\" =1\"");
  EXPECT_EQ(csv_field("'=1"), "'=1");
}

TEST(Csv, TagsheetTextsStayTextWithATabInFrontAndQuotes) {
  EXPECT_EQ(csv_tagsheet_text("1000000012345678"), "\"\t1000000012345678\"");
  EXPECT_EQ(csv_tagsheet_text("08-10-12"), "\"\t08-10-12\"");
  EXPECT_EQ(csv_tagsheet_text(" "), "\"\t \"");
  EXPECT_EQ(csv_tagsheet_text(""), "");
  EXPECT_EQ(csv_tagsheet_text("say \"hi\",\nbye"), "\"\tsay \"\"hi\"\",\nbye\"");
}

TEST(Csv, TagsheetTextsAreGuardedBehindTheirTab) {
  // Were the tab dropped by a spreadsheet, the quote would still be first.
  EXPECT_EQ(csv_tagsheet_text("=HYPERLINK(\"x\")"), "\"\t'=HYPERLINK(\"\"x\"\")\"");
  EXPECT_EQ(csv_tagsheet_text("\t=1"), "\"\t'\t=1\"");
  EXPECT_EQ(csv_tagsheet_text("\r@1"), "\"\t'\r@1\"");
  EXPECT_EQ(csv_tagsheet_text("-0042"), "\"\t'-0042\"");
}

TEST(Csv, RunsHoldTheirTextsAsWrittenExceptTheSerialsLineEnd) {
  const ClockLimits limits{{2026, 6, 1}, 1796731200};
  RunRecord clean = run_record("2026-12-07", "07-12-2026/Non-Tag-07-12-2026.txt",
                               {" ", "08-00-05", "SN-0042\r\n", 1}, "", 2);
  RunRecord cut =
      run_record("", "x/Non-Tag-x.txt", {"08-10-13", "8-30", "A,B", 11}, std::nullopt, 0);
  cut.clock.rows_back = 2;
  cut.clock.in_the_future = true;
  StringSink out;
  write_runs_csv(out, {clean, cut}, limits);
  EXPECT_EQ(
      out.text,
      "\xEF\xBB\xBF"
      "date,start_time,last_seen_before,stop_text,serial_number,rows,stopped,file,line,clock\n"
      "2026-12-07,08:00:05,\"\t \",,\"\tSN-0042\",2,yes,07-12-2026/Non-Tag-07-12-2026.txt,1,ok\n"
      ",\"\t8-30\",\"\t08-10-13\",,\"\tA,B\",0,no,x/Non-Tag-x.txt,11,"
      "2 rows earlier than the row before; dates after the export (in the future)\n");
}

TEST(Csv, EveryTextOfARunIsGuardedAndItsNumbersAreNot) {
  RunRecord run =
      run_record("2026-12-07", "=f/Non-Tag-07-12-2026.txt", {"-1", "+2", "@3\n", 4}, "=4", 5);
  StringSink out;
  write_runs_csv(out, {run}, ClockLimits{{2026, 6, 1}, 1796731200});
  EXPECT_EQ(
      out.text.substr(out.text.find('\n') + 1),
      "2026-12-07,\"\t'+2\",\"\t'-1\",\"\t'=4\",\"\t'@3\",5,yes,'=f/Non-Tag-07-12-2026.txt,4,ok\n");
}

TEST(Csv, DetectionsCarryTheirFileAndLine) {
  StringSink out;
  DetectionsCsv detections(out);
  detections.set_file("a b/Non-Tag-01-01-2027.txt");
  detections.add(Row{{2027, 1, 1}, {7, 0, 1}, 5}, 6);
  detections.set_file("c,d/Non-Tag-02-01-2027.txt");
  detections.add(Row{{2027, 1, 2}, {23, 59, 59}, 65535}, 12345678901);
  detections.set_file("-x/Non-Tag-03-01-2027.txt");
  detections.add(Row{{2027, 1, 3}, {0, 0, 0}, 0}, 1);
  EXPECT_EQ(out.text,
            "\xEF\xBB\xBFtime,distance,file,line\n"
            "2027-01-01T07:00:01,0.05,a b/Non-Tag-01-01-2027.txt,6\n"
            "2027-01-02T23:59:59,655.35,\"c,d/Non-Tag-02-01-2027.txt\",12345678901\n"
            "2027-01-03T00:00:00,0.00,'-x/Non-Tag-03-01-2027.txt,1\n");
}

TEST(OutputFile, FailsLoudlyWhenTheFileCannotBeMade) {
  EXPECT_THROW(OutputFile("/nonexistent-folder/out.csv"), std::system_error);
}

TEST(OutputFile, AFullDiskIsAnErrorAtTheLatestOnClose) {
  OutputFile full("/dev/full");
  EXPECT_THROW(
      {
        full.write(std::string(3 << 20, 'x'));
        full.close();
      },
      std::system_error);
}

}  // namespace
}  // namespace kestrel::report
