#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "report/core/days.h"
#include "report/core/html.h"
#include "report/core/svg.h"
#include "tests/report/helpers.h"

namespace kestrel::report {
namespace {

std::string report_html(const std::string& folder, const std::vector<Fact>& facts,
                        const Summary& summary, const std::vector<RunRecord>& runs,
                        const DayMap& days, const ClockLimits& limits) {
  StringSink page;
  write_report_html(page, folder, facts, summary, runs, days, limits);
  return page.text;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The value of attribute in every element that starts with tag_start.
std::vector<std::string> attributes(const std::string& svg, const std::string& tag_start,
                                    const std::string& attribute) {
  std::vector<std::string> values;
  for (std::size_t at = svg.find(tag_start); at != std::string::npos;
       at = svg.find(tag_start, at + 1)) {
    std::size_t value = svg.find(" " + attribute + "=\"", at) + attribute.size() + 3;
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

// The text labels of an SVG chart, in order.
std::vector<std::string> labels(const std::string& svg) {
  std::vector<std::string> found;
  for (std::size_t at = svg.find("<text"); at != std::string::npos;
       at = svg.find("<text", at + 1)) {
    std::size_t begin = svg.find('>', at) + 1;
    found.push_back(svg.substr(begin, svg.find('<', begin) - begin));
  }
  return found;
}

TEST(Charts, DistanceChartsOfEveryDayShareOneAxis) {
  std::vector<MinuteRange> morning(minutes_per_day);
  morning[8 * 60 + 10] = MinuteRange{120, 250};
  morning[9 * 60] = MinuteRange{300, 300};
  std::vector<MinuteRange> night(minutes_per_day);
  night[23 * 60 + 59] = MinuteRange{50, 60};
  std::string busy = distance_chart("d", morning, 1000);
  std::string quiet = distance_chart("d", night, 1000);
  std::vector<std::string> axis = labels(busy);
  EXPECT_EQ(axis, labels(quiet));
  // 00:00 to 24:00 across whatever the hours with detections; 0 to 10 m up.
  EXPECT_EQ(axis.front(), "d");
  for (const char* label : {"00:00", "03:00", "12:00", "24:00", "0", "10"}) {
    EXPECT_NE(std::find(axis.begin(), axis.end(), label), axis.end()) << label;
  }
  std::vector<std::string> paths = attributes(busy, "<path class=\"range\"", "d");
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(count(paths[0], "M"), 2u);
  // The minute 08:10 sits at 490.5 of 1440 minutes along the plot (left 52, width 484).
  EXPECT_EQ(paths[0].substr(0, paths[0].find(' ')), "M216.9");
  EXPECT_EQ(count(distance_chart("d", std::vector<MinuteRange>(minutes_per_day), 1000), "<path"),
            0u);
}

TEST(Page, HoldsTheFactsTheDaysAChartPerDayAndEscapedRuns) {
  const ClockLimits limits{{2026, 6, 1}, 1796731200};
  Summary summary;
  summary.add(Row{{2027, 1, 1}, {7, 0, 1}, 100});
  summary.add(Row{{2027, 1, 3}, {7, 0, 1}, 100});
  std::vector<RunRecord> runs = {
      run_record("2027-01-01", "f", Header{" ", "07-00-00", "<b>&", 1}, "07-00-01", 2)};
  runs[0].start = Moment{{2027, 1, 1}, {7, 0, 0}};
  runs[0].last_row = Moment{{2027, 1, 3}, {7, 0, 1}};
  DayMap days(runs, summary);
  std::string html =
      report_html("/media/pi/STICK", {{"detections", "2"}}, summary, runs, days, limits);
  EXPECT_EQ(count(html, "<svg"), 1u + 2 * 2);  // per day overview, then two charts per day
  EXPECT_EQ(count(html, "<rect class=\"bar\""), 2u + 2);
  EXPECT_NE(html.find("<dt>detections</dt><dd>2</dd>"), std::string::npos);
  EXPECT_NE(html.find("<td>&lt;b&gt;&amp;</td>"), std::string::npos);
  EXPECT_EQ(html.find("<b>&"), std::string::npos);
  EXPECT_NE(html.find("id=\"day-2027-01-03\""), std::string::npos);
  // The calendar day without detections still has its place on the axis.
  EXPECT_NE(html.find(">2027-01-02</text>"), std::string::npos);
  // One time format in the table: the texts 07-00-00 and 07-00-01 as 07:00:00 and 07:00:01,
  // the blank last-seen text as none.
  EXPECT_NE(html.find("<td>07:00:00</td><td>none</td><td>07:00:01</td>"), std::string::npos);
  EXPECT_NE(html.find("<b>(no stop line)</b>: the run ended without an export (power cut, "
                      "failure or restart)"),
            std::string::npos);
  // The run covers its three days; the middle one had no detections.
  EXPECT_EQ(count(html, "<td class=\"seen\">"), 2u);
  EXPECT_EQ(count(html, "<td class=\"on\" title=\"2027-01-02: logger running, no detections\">"),
            1u);
  EXPECT_EQ(count(html, "<td class=\"off\""), 0u);
  EXPECT_EQ(html.find("class=\"clock\""), std::string::npos) << "no warning for a good clock";
}

TEST(Page, FlagsRunsWhoseClockWasWrongAndSaysWhatToDo) {
  const ClockLimits limits{{2026, 6, 1}, 1796731200};
  Summary summary;
  std::vector<RunRecord> runs = {
      run_record("2026-12-07", "f", Header{" ", "07-00-00", "S", 1}, "", 0),
      run_record("2019-01-01", "g", Header{" ", "07-00-00", "S", 1}, std::nullopt, 0)};
  runs[1].clock.before_first_release = true;
  DayMap days(runs, summary);
  std::string html = report_html("STICK", {}, summary, runs, days, limits);
  EXPECT_NE(html.find("<b>The logger's clock was wrong in 1 of 2 runs</b>"), std::string::npos);
  EXPECT_NE(html.find("<b>What to do:</b> fit the logger with a clock"), std::string::npos);
  EXPECT_EQ(count(html, "<tr class=\"flag\">"), 1u);
  EXPECT_NE(html.find("<tr class=\"flag\"><td>2019-01-01</td>"), std::string::npos);
  EXPECT_NE(html.find("<td>dates before the first release (2026-06-01)</td>"), std::string::npos);
}

TEST(Page, MonthsWithoutARunShrinkToOneLine) {
  Summary summary;
  summary.add(Row{{2026, 1, 31}, {7, 0, 1}, 100});
  summary.add(Row{{2026, 3, 1}, {7, 0, 1}, 100});
  summary.add(Row{{2026, 7, 1}, {7, 0, 1}, 100});
  std::string html = report_html("STICK", {}, summary, {}, DayMap({}, summary), {{2026, 1, 1}, 0});
  EXPECT_NE(html.find("<tr><th>2026-01</th>"), std::string::npos);
  EXPECT_NE(html.find(">no run in 2026-02</td>"), std::string::npos);
  EXPECT_NE(html.find(">no run from 2026-04 to 2026-06</td>"), std::string::npos);
  EXPECT_EQ(html.find("<tr><th>2026-05</th>"), std::string::npos);
  // Days before the first and after the last are left out; the others are days without a run.
  EXPECT_EQ(count(html, "<td class=\"off\""), 30u);
}

TEST(Page, ShowsDayByDayOnlyTheDaysTheSummaryKeptAndSaysSo) {
  Summary summary(2);
  for (Date date : {Date{2027, 1, 1}, Date{2027, 1, 3}, Date{2027, 2, 2}, Date{2027, 3, 5}}) {
    summary.add(Row{date, {7, 0, 1}, 100});
  }
  std::string html = report_html("STICK", {}, summary, {}, DayMap({}, summary), {{2026, 1, 1}, 0});
  EXPECT_NE(html.find("<p class=\"note\">Shown day by day: the latest 2 days with detections, "
                      "from 2027-02-02. The 2 days before them, 2 detections, count in the "
                      "totals only.</p>"),
            std::string::npos);
  EXPECT_EQ(count(html, "<section id=\"day-"), 2u);
  // The calendar starts at the first of them: February's first day is left blank.
  EXPECT_EQ(html.find("<tr><th>2027-01</th>"), std::string::npos);
  EXPECT_NE(html.find("<tr><th>2027-02</th><td></td><td class=\"seen\">"), std::string::npos);
  EXPECT_EQ(count(html, "<td class=\"seen\">"), 2u);
}

}  // namespace
}  // namespace kestrel::report
