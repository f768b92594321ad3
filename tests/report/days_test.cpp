#include "report/core/days.h"

#include <gtest/gtest.h>

#include <vector>

#include "report/core/summary.h"
#include "tests/report/helpers.h"

namespace kestrel::report {
namespace {

RunRecord run_on(Date start, std::optional<Date> last_row, bool stopped) {
  RunRecord run =
      run_record(iso_date(start), "f", Header{" ", "08-00-00", "S", 1},
                 stopped ? std::optional<std::string>("08-30-00") : std::nullopt, last_row ? 1 : 0);
  run.start = Moment{start, {8, 0, 0}};
  if (last_row) {
    run.last_row = Moment{*last_row, {8, 30, 0}};
  }
  return run;
}

TEST(DayMap, ARunEndedByAnExportLastsUntilTheNextStart) {
  Summary summary;
  summary.add(Row{{2026, 12, 1}, {8, 30, 0}, 100});
  std::vector<RunRecord> runs = {run_on({2026, 12, 1}, Date{2026, 12, 1}, true),
                                 run_on({2026, 12, 4}, std::nullopt, false)};
  DayMap days(runs, summary);
  EXPECT_EQ(iso_date(days.first()), "2026-12-01");
  EXPECT_EQ(iso_date(days.last()), "2026-12-04");
  EXPECT_EQ(days.state({2026, 12, 1}), DayState::detections);
  EXPECT_EQ(days.state({2026, 12, 2}), DayState::running);
  EXPECT_EQ(days.state({2026, 12, 3}), DayState::running);
  EXPECT_EQ(days.state({2026, 12, 4}), DayState::running);
  EXPECT_EQ(days.count(DayState::no_run), 0u);
}

TEST(DayMap, ARunCutOffEndsAtItsLastRow) {
  Summary summary;
  summary.add(Row{{2026, 12, 3}, {8, 30, 0}, 100});
  // A power cut after a row two days in; the next start a week later.
  std::vector<RunRecord> runs = {run_on({2026, 12, 1}, Date{2026, 12, 3}, false),
                                 run_on({2026, 12, 10}, std::nullopt, true)};
  DayMap days(runs, summary);
  EXPECT_EQ(days.state({2026, 12, 2}), DayState::running);
  EXPECT_EQ(days.state({2026, 12, 3}), DayState::detections);
  EXPECT_EQ(days.state({2026, 12, 4}), DayState::no_run);
  EXPECT_EQ(days.state({2026, 12, 9}), DayState::no_run);
  EXPECT_EQ(days.state({2026, 12, 10}), DayState::running);
  EXPECT_EQ(days.count(DayState::no_run), 6u);
  EXPECT_EQ(days.days(), 10u);
}

TEST(DayMap, AClockSetBackExtendsNoRunBackwards) {
  // An export followed by a start that the clock put before it: the run ends at its own
  // last row, not at a start earlier than itself.
  Summary summary;
  std::vector<RunRecord> runs = {run_on({2026, 12, 5}, std::nullopt, true),
                                 run_on({2026, 12, 2}, std::nullopt, false)};
  DayMap days(runs, summary);
  EXPECT_EQ(iso_date(days.first()), "2026-12-02");
  EXPECT_EQ(days.state({2026, 12, 3}), DayState::no_run);
  EXPECT_EQ(days.count(DayState::running), 2u);
}

TEST(DayMap, DatesAWrongClockWroteSpanNoDays) {
  // Started with the clock at 2000-01-01, set right mid-run, exported, started again.
  Summary summary;
  summary.add(Row{{2026, 12, 7}, {8, 30, 0}, 100});
  std::vector<RunRecord> runs = {run_on({2000, 1, 1}, Date{2026, 12, 7}, true),
                                 run_on({2026, 12, 9}, std::nullopt, false)};
  runs[0].clock.before_first_release = true;
  DayMap days(runs, summary);
  EXPECT_EQ(days.count(DayState::running), 2u);
  EXPECT_EQ(days.count(DayState::detections), 1u);
  EXPECT_EQ(days.state({2026, 12, 8}), DayState::no_run);
}

TEST(DayMap, DaysWithDetectionsCountWhetherOrNotTheSummaryKeepsThemDayByDay) {
  Summary summary(1);
  summary.add(Row{{2026, 12, 1}, {8, 30, 0}, 100});
  summary.add(Row{{2026, 12, 3}, {8, 30, 0}, 100});
  summary.add(Row{{2026, 12, 5}, {8, 30, 0}, 100});
  DayMap days({}, summary);
  EXPECT_EQ(iso_date(days.first()), "2026-12-01");
  EXPECT_EQ(days.count(DayState::detections), 3u);
  EXPECT_EQ(days.state({2026, 12, 3}), DayState::detections);
  EXPECT_EQ(days.state({2026, 12, 4}), DayState::no_run);
}

TEST(DayMap, DetectionsOutsideAnyRunAndNothingAtAll) {
  Summary summary;
  EXPECT_TRUE(DayMap({}, summary).empty());
  summary.add(Row{{2026, 12, 24}, {8, 30, 0}, 100});
  DayMap days({}, summary);
  EXPECT_EQ(days.days(), 1u);
  EXPECT_EQ(days.state({2026, 12, 24}), DayState::detections);
  EXPECT_EQ(days.state({2026, 12, 25}), DayState::no_run) << "outside the map";
}

}  // namespace
}  // namespace kestrel::report
