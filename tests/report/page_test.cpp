#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/html.h"
#include "report/svg.h"

namespace kestrel::report {
namespace {

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The value of attribute in every element that starts with tag_start.
std::vector<std::string> attributes(const std::string& svg, const std::string& tag_start,
                                    const std::string& attribute) {
  std::vector<std::string> values;
  for (size_t at = svg.find(tag_start); at != std::string::npos; at = svg.find(tag_start, at + 1)) {
    size_t value = svg.find(" " + attribute + "=\"", at) + attribute.size() + 3;
    values.push_back(svg.substr(value, svg.find('"', value) - value));
  }
  return values;
}

TEST(Charts, AxisStepsAreOneTwoOrFiveTimesAPowerOfTen) {
  EXPECT_DOUBLE_EQ(nice_step(4, 4), 1);
  EXPECT_DOUBLE_EQ(nice_step(7, 4), 2);
  EXPECT_DOUBLE_EQ(nice_step(13, 4), 5);
  EXPECT_DOUBLE_EQ(nice_step(36000, 4), 10000);
  EXPECT_DOUBLE_EQ(nice_step(0.3, 4), 0.1);
  EXPECT_DOUBLE_EQ(nice_step(0, 4), 1);
}

TEST(Charts, BarHeightsFollowTheirValues) {
  std::string svg =
      bar_chart("t", {Bar{10, "a", "ten", ""}, Bar{0, "", "none", ""}, Bar{5, "", "five", "#x"}});
  std::vector<double> heights;
  for (const std::string& height : attributes(svg, "<rect class=\"bar\"", "height")) {
    heights.push_back(std::stod(height));
  }
  ASSERT_EQ(heights.size(), 2u);  // a zero draws no bar
  EXPECT_NEAR(heights[0], 2 * heights[1], 0.2);
  EXPECT_EQ(count(svg, "<a href=\"#x\">"), 1u);
}

TEST(Charts, DistanceChartDrawsOneStrokePerMinuteWithDetections) {
  std::vector<MinuteRange> minutes(minutes_per_day);
  minutes[8 * 60 + 10] = MinuteRange{120, 250};
  minutes[9 * 60] = MinuteRange{300, 300};
  std::string svg = distance_chart("d", minutes);
  std::vector<std::string> paths = attributes(svg, "<path class=\"range\"", "d");
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(count(paths[0], "M"), 2u);
  EXPECT_NE(svg.find(">08:00<"), std::string::npos);  // the axis spans the busy hours only
  EXPECT_EQ(svg.find(">07:00<"), std::string::npos);
  EXPECT_EQ(count(distance_chart("d", std::vector<MinuteRange>(minutes_per_day)), "<path"), 0u);
}

TEST(Page, HoldsTheFactsAChartPerDayAndEscapedRuns) {
  Summary summary;
  summary.add(Row{{2027, 1, 1}, {7, 0, 1}, 100});
  summary.add(Row{{2027, 1, 3}, {7, 0, 1}, 100});
  std::vector<RunRecord> runs = {
      RunRecord{"2027-01-01", "f", Header{" ", "07-00-00", "<b>&", 1}, std::nullopt, 2}};
  std::string html = report_html("/media/pi/STICK", {{"detections", "2"}}, summary, runs);
  EXPECT_EQ(count(html, "<svg"), 1u + 2 * 2);  // per day overview, then two charts per day
  EXPECT_EQ(count(html, "<rect class=\"bar\""), 2u + 2);
  EXPECT_NE(html.find("<dt>detections</dt><dd>2</dd>"), std::string::npos);
  EXPECT_NE(html.find("<td>&lt;b&gt;&amp;</td>"), std::string::npos);
  EXPECT_EQ(html.find("<b>&"), std::string::npos);
  EXPECT_NE(html.find("id=\"day-2027-01-03\""), std::string::npos);
  // The calendar day without detections still has its place on the axis.
  EXPECT_NE(html.find(">2027-01-02</text>"), std::string::npos);
}

}  // namespace
}  // namespace kestrel::report
