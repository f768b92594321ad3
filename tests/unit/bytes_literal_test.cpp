#include "tagsheet/bytes_literal.h"

#include <gtest/gtest.h>

#include "support.h"

namespace kestrel {
namespace {

TEST(BytesLiteral, SearchResults) {
  EXPECT_EQ(bytes_literal(""), "b''");
  EXPECT_EQ(bytes_literal("/home/pi/Configuration/Tagsheets/07-12-2026\n"),
            "b'/home/pi/Configuration/Tagsheets/07-12-2026\\n'");
}

TEST(BytesLiteral, MatchesTheInterpretersRepr) {
  std::vector<std::string> samples = {
      "", "/home/pi/Configuration/Tagsheets/07-12-2026\n",
      "/a/07-12-2026\n/home/pi/Configuration/Tagsheets/07-12-2026\n"};
  for (int byte = 0; byte < 256; ++byte) samples.emplace_back(1, static_cast<char>(byte));
  const std::string interesting("'\"\\\t\n\r\0 a~\x7f\x80\xff", 14);
  for (char first : interesting) {
    for (char second : interesting) samples.push_back({first, second});
  }
  samples.push_back("it's \"quoted\" \\ 'twice'");
  testing::expect_agrees_with_python(
      "import sys\n"
      "for line in sys.stdin:\n"
      "    print(repr(bytes.fromhex(line)))\n",
      samples, bytes_literal);
}

}  // namespace
}  // namespace kestrel
