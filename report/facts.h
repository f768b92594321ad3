// The totals shown both on the terminal and at the top of the page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/summary.h"

namespace kestrel::report {

struct Fact {
  std::string name, value;
};

struct Totals {
  uint64_t tagsheets = 0, runs = 0, skipped_lines = 0, unreadable_files = 0;
};

std::vector<Fact> report_facts(const Totals& totals, const Summary& summary);

}  // namespace kestrel::report
