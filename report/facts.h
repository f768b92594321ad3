// The totals shown both on the terminal and at the top of the page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/summary.h"

namespace kestrel::report {

struct Fact {
  std::string name;
  std::string value;
};

struct Totals {
  uint64_t tagsheets = 0;
  uint64_t runs = 0;
  uint64_t skipped_lines = 0;
  uint64_t unreadable_files = 0;
};

std::vector<Fact> report_facts(const Totals& totals, const Summary& summary);

}  // namespace kestrel::report
