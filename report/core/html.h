// report.html: one self-contained page (inline style and SVG, no script) with the totals,
// what the dates say of the clock, the days the logger ran, detections per day, per-day
// charts and the table of runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/core/clock_check.h"
#include "report/core/days.h"
#include "report/core/run.h"
#include "report/core/summary.h"
#include "report/core/text_sink.h"

namespace kestrel::report {

// One of the totals shown at the top of the page and on the terminal.
struct Fact {
  std::string name;
  std::string value;
};

void write_report_html(TextSink& page, const std::string& folder, const std::vector<Fact>& facts,
                       const Summary& summary, const std::vector<RunRecord>& runs,
                       const DayMap& days, const ClockLimits& limits);

}  // namespace kestrel::report
