// The totals shown both on the terminal and at the top of the page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/core/days.h"
#include "report/core/run.h"
#include "report/core/summary.h"

namespace kestrel::report {

struct Fact {
  std::string name;
  std::string value;
};

struct Totals {
  std::uint64_t tagsheets = 0;
  std::uint64_t runs = 0;
  std::uint64_t skipped_lines = 0;
  std::uint64_t unreadable_files = 0;
  std::uint64_t unreadable_folders = 0;
};

// First what a technician asks first: which logger, which days it ran and had detections,
// whether its clock can be trusted; then the counts.
std::vector<Fact> report_facts(const Totals& totals, const Summary& summary,
                               const std::vector<RunRecord>& runs, const DayMap& days);

// The runs' serial numbers, each once, in the order they first appear.
std::vector<std::string> serial_numbers(const std::vector<RunRecord>& runs);

}  // namespace kestrel::report
