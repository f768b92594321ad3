#include "report/facts.h"

namespace kestrel::report {

namespace {
std::string when(const Row& row) { return iso_date(row.date) + ' ' + iso_time(row.time); }
}  // namespace

std::vector<Fact> report_facts(const Totals& totals, const Summary& summary) {
  std::vector<Fact> facts = {
      {"tagsheets", std::to_string(totals.tagsheets)},
      {"days with detections", std::to_string(summary.days().size())},
      {"runs", std::to_string(totals.runs)},
      {"detections", std::to_string(summary.detections())},
  };
  if (summary.first()) {
    facts.push_back({"first detection", when(*summary.first())});
    facts.push_back({"last detection", when(*summary.last())});
    facts.push_back({"closest distance", distance_text(summary.closest()->centimetres) + " m at " +
                                             when(*summary.closest())});
  }
  facts.push_back({"lines skipped", std::to_string(totals.skipped_lines)});
  if (totals.unreadable_files) {
    facts.push_back({"tagsheets not read to the end", std::to_string(totals.unreadable_files)});
  }
  return facts;
}

}  // namespace kestrel::report
