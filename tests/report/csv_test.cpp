#include "report/csv.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/temp_dir.h"

namespace kestrel::report {
namespace {

std::string slurp(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

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

class CsvFiles : public ::testing::Test {
 protected:
  kestrel::testing::TempDir folder_;
};

TEST_F(CsvFiles, RunsHoldTheirTextsAsWrittenExceptTheSerialsLineEnd) {
  Header clean{" ", "08-00-05", "SN-0042\r\n", 1};
  Header cut{"08-10-13", "8-30", "A,B", 11};
  write_runs_csv(folder_ / "out.csv",
                 {RunRecord{"2026-12-07", "07-12-2026/Non-Tag-07-12-2026.txt", clean, "", 2},
                  RunRecord{"", "x/Non-Tag-x.txt", cut, std::nullopt, 0}});
  EXPECT_EQ(slurp(folder_ / "out.csv"),
            "date,start_time,last_seen_before,stop_text,serial_number,rows,stopped,file,line\n"
            "2026-12-07,08:00:05,\" \",,SN-0042,2,yes,07-12-2026/Non-Tag-07-12-2026.txt,1\n"
            ",8-30,08-10-13,,\"A,B\",0,no,x/Non-Tag-x.txt,11\n");
}

TEST_F(CsvFiles, DetectionsCarryTheirFileAndLine) {
  DetectionsCsv detections(folder_ / "out.csv");
  detections.set_file("a b/Non-Tag-01-01-2027.txt");
  detections.add(Row{{2027, 1, 1}, {7, 0, 1}, 5}, 6);
  detections.set_file("c,d/Non-Tag-02-01-2027.txt");
  detections.add(Row{{2027, 1, 2}, {23, 59, 59}, 65535}, 12345678901);
  detections.close();
  EXPECT_EQ(slurp(folder_ / "out.csv"),
            "time,distance,file,line\n"
            "2027-01-01T07:00:01,0.05,a b/Non-Tag-01-01-2027.txt,6\n"
            "2027-01-02T23:59:59,655.35,\"c,d/Non-Tag-02-01-2027.txt\",12345678901\n");
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
