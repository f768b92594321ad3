#include "report/core/template.h"

#include <gtest/gtest.h>

#include "report/core/templates.h"

namespace kestrel::report {
namespace {

TEST(Template, PutsEachValueInPlaceOfItsMarkerAndNeverSearchesTheValues) {
  EXPECT_EQ(fill("@A@ and @B@@A@.", {{"A", "1"}, {"B", "@A@"}}), "1 and @A@1.");
  // Any other @ stays: a marker not given, an e-mail address, a lone one at the end.
  EXPECT_EQ(fill("@C@ a@b.c @A", {{"A", "1"}, {"AB", "2"}}), "@C@ a@b.c @A");
  EXPECT_EQ(fill("", {{"A", "1"}}), "");
}

TEST(Template, TheBuiltInTemplatesHaveTheirLinesJoinedWhereTheyEndInABackslash) {
  for (std::string_view text : {templates::report, templates::clock_warning, templates::days,
                                templates::days_cut_off, templates::runs}) {
    EXPECT_EQ(text.find("\\\n"), std::string_view::npos);
    EXPECT_EQ(text.back(), '\n');
  }
  EXPECT_EQ(templates::days_cut_off.find('\n'), templates::days_cut_off.size() - 1);
}

}  // namespace
}  // namespace kestrel::report
