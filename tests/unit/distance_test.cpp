#include "radar/distance.h"

#include <gtest/gtest.h>

#include "support.h"

namespace kestrel {
namespace {

TEST(Distance, IsTheDoubleProductOfTheCountAndOneHundredth) {
  EXPECT_EQ(distance_of(0), 0.0);
  EXPECT_EQ(distance_of(57), 0.5700000000000001);
  EXPECT_EQ(distance_of(35), 0.35000000000000003);
  EXPECT_EQ(distance_of(300), 3.0);
  EXPECT_EQ(distance_of(65535), 655.35);
}

TEST(Distance, TextHasTwoDecimals) {
  const std::pair<unsigned, const char*> cases[] = {
      {0, "0.00"}, {5, "0.05"}, {57, "0.57"}, {120, "1.20"}, {300, "3.00"}, {65535, "655.35"}};
  for (const auto& [count, text] : cases) EXPECT_EQ(distance_text(distance_of(count)), text);
}

TEST(Distance, TextIsRoundedLikeTheInterpreterForEveryCount) {
  std::vector<std::string> counts;
  for (unsigned count = 0; count <= 65535; ++count) counts.push_back(std::to_string(count));
  testing::expect_agrees_with_python(
      "import sys\n"
      "for line in sys.stdin:\n"
      "    print('{0:.2f}'.format(int(bytes.fromhex(line)) * 0.01))\n",
      counts,
      [](const std::string& count) { return distance_text(distance_of(std::stoul(count))); });
}

}  // namespace
}  // namespace kestrel
