#include "report/core/markup.h"

#include <gtest/gtest.h>

namespace kestrel::report {
namespace {

TEST(Markup, EscapesWhatCouldEndATextOrAnAttributeAndNothingElse) {
  EXPECT_EQ(escape_xml("<b>\"R&D\"</b>"), "&lt;b&gt;&quot;R&amp;D&quot;&lt;/b&gt;");
  // Values are always written in double quotes: an apostrophe, UTF-8 and control bytes pass.
  EXPECT_EQ(escape_xml("it's caf\xC3\xA9\t\r\n"), "it's caf\xC3\xA9\t\r\n");
  EXPECT_EQ(escape_xml("&amp;"), "&amp;amp;");
}

TEST(Markup, EscapesEveryAttributeValueAndTextButNotInnerMarkup) {
  const std::string hostile = "\"><script>&";
  const std::string escaped = "&quot;&gt;&lt;script&gt;&amp;";
  EXPECT_EQ(element("a", {{"href", "#x"}, {"title", hostile}}, "<b>in</b>"),
            "<a href=\"#x\" title=\"" + escaped + "\"><b>in</b></a>");
  EXPECT_EQ(text_element("td", {}, hostile), "<td>" + escaped + "</td>");
  EXPECT_EQ(empty_element("line", {{"x1", "1.0"}, {"d", hostile}}),
            "<line x1=\"1.0\" d=\"" + escaped + "\"/>");
  EXPECT_EQ(start_tag("svg", {{"aria-label", hostile}}), "<svg aria-label=\"" + escaped + "\">");
  EXPECT_EQ(element("td", {}, ""), "<td></td>");
}

}  // namespace
}  // namespace kestrel::report
