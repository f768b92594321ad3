// report.html: one self-contained page (inline style and SVG, no script) with the totals,
// detections per day, per-day charts and the table of runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/facts.h"
#include "report/run.h"
#include "report/summary.h"

namespace kestrel::report {

std::string report_html(const std::string& folder, const std::vector<Fact>& facts,
                        const Summary& summary, const std::vector<RunRecord>& runs);

}  // namespace kestrel::report
