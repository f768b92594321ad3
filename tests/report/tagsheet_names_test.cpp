#include "report/core/tagsheet_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel::report {
namespace {

TEST(TagsheetNames, KnowsATagsheetAndItsDateByName) {
  EXPECT_TRUE(is_tagsheet_name("Non-Tag-07-12-2026.txt"));
  EXPECT_TRUE(is_tagsheet_name("Non-Tag-.txt"));
  EXPECT_FALSE(is_tagsheet_name("Non-Tag-07-12-2026.txt~"));
  EXPECT_FALSE(is_tagsheet_name("._Non-Tag-07-12-2026.txt"));
  EXPECT_FALSE(is_tagsheet_name("kestrel-report.html"));
  EXPECT_EQ(iso_date(*date_in_name("Non-Tag-07-12-2026.txt")), "2026-12-07");
  EXPECT_FALSE(date_in_name("Non-Tag-31-02-2026.txt"));
  EXPECT_FALSE(date_in_name("Non-Tag-copy.txt"));
}

TEST(TagsheetNames, ReadInDateOrderThenByPathUndatedLast) {
  std::vector<TagsheetFile> files;
  for (const char* path :
       {"x/Non-Tag-copy.txt", "b/Non-Tag-01-01-2027.txt", "31-12-2026/Non-Tag-31-12-2026.txt",
        "a/Non-Tag-01-01-2027.txt", "a/Non-Tag-.txt"}) {
    std::string name(path);
    name = name.substr(name.find('/') + 1);
    files.push_back(TagsheetFile{path, path, date_in_name(name), 0});
  }
  std::vector<std::string> order;
  for (std::size_t at : reading_order(files)) {
    order.push_back(files[at].relative);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"31-12-2026/Non-Tag-31-12-2026.txt",
                                             "a/Non-Tag-01-01-2027.txt", "b/Non-Tag-01-01-2027.txt",
                                             "a/Non-Tag-.txt", "x/Non-Tag-copy.txt"}));
}

}  // namespace
}  // namespace kestrel::report
