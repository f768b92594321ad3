#include "buzzer/config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/support/temp_dir.h"

namespace buzzer {
namespace {

TEST(ParseConfig, EmptyTextKeepsTheDefaults) {
  const Config config = parse_config("", "buzzer.conf");
  EXPECT_EQ(config.line, "GPIO18");
  EXPECT_FALSE(config.active_low);
}

TEST(ParseConfig, ReadsKeysBetweenCommentsBlanksAndCrLf) {
  const Config config = parse_config(
      "# buzzer on header pin 16\r\n\n  line =  GPIO23  # BCM numbering\r\nactive_low=yes\n",
      "buzzer.conf");
  EXPECT_EQ(config.line, "GPIO23");
  EXPECT_TRUE(config.active_low);
}

TEST(ParseConfig, AcceptsEveryFlagSpelling) {
  for (const char* yes : {"yes", "true", "on", "1"}) {
    EXPECT_TRUE(parse_config(std::string("active_low = ") + yes, "c").active_low) << yes;
  }
  for (const char* no : {"no", "false", "off", "0"}) {
    EXPECT_FALSE(parse_config(std::string("active_low = yes\nactive_low = ") + no, "c").active_low)
        << no;
  }
}

TEST(ParseConfig, RejectsMistakesNamingFileAndLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"\nlne = GPIO18\n", "buzzer.conf:2: unknown key \"lne\""},
      {"GPIO18\n", "buzzer.conf:1: expected key = value"},
      {"active_low = maybe\n", "buzzer.conf:1: active_low must be yes or no, not \"maybe\""},
      {"line =\n", "buzzer.conf:1: empty line name"},
  };
  for (const auto& [text, message] : cases) {
    try {
      parse_config(text, "buzzer.conf");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ConfigError& error) {
      EXPECT_EQ(std::string(error.what()), message);
    }
  }
}

class LoadConfig : public ::testing::Test {
 protected:
  void TearDown() override { unsetenv(config_path_variable); }
  std::string path() const { return folder_ / "buzzer.conf"; }

  kestrel::testing::TempDir folder_;
};

TEST_F(LoadConfig, ReadsTheFileNamedByTheEnvironment) {
  std::ofstream(path()) << "line = GPIO24\nactive_low = on\n";
  setenv(config_path_variable, path().c_str(), 1);
  const Config config = load_config();
  EXPECT_EQ(config.line, "GPIO24");
  EXPECT_TRUE(config.active_low);
}

TEST_F(LoadConfig, AMissingFileMeansTheDefaults) {
  setenv(config_path_variable, path().c_str(), 1);
  EXPECT_EQ(load_config().line, "GPIO18");
}

TEST_F(LoadConfig, AnUnreadableFileIsAnError) {
  setenv(config_path_variable, folder_.path.c_str(), 1);  // a directory: open works, read fails
  EXPECT_THROW(load_config(), ConfigError);
}

}  // namespace
}  // namespace buzzer
