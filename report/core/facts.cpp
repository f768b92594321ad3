#include "report/core/facts.h"

#include <algorithm>
#include <optional>

namespace kestrel::report {

namespace {

std::string when(const Row& row) { return iso_date(row.date) + ' ' + iso_time(row.time); }

std::string joined(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& text : texts) {
    out += (out.empty() ? "" : ", ") + text;
  }
  return out;
}

}  // namespace

std::vector<std::string> serial_numbers(const std::vector<RunRecord>& runs) {
  std::vector<std::string> serials;
  for (const RunRecord& run : runs) {
    std::string serial(run.serial_number());
    if (std::find(serials.begin(), serials.end(), serial) == serials.end()) {
      serials.push_back(serial);
    }
  }
  return serials;
}

std::vector<Fact> report_facts(const Totals& totals, const Summary& summary,
                               const std::vector<RunRecord>& runs, const DayMap& days) {
  std::vector<Fact> facts;
  std::vector<std::string> serials = serial_numbers(runs);
  if (!serials.empty()) {
    facts.push_back({serials.size() == 1 ? "serial number" : "serial numbers", joined(serials)});
  }
  if (!days.empty()) {
    facts.push_back({"first day", iso_date(days.first())});
    facts.push_back({"last day", iso_date(days.last())});
    std::uint64_t ran = days.count(DayState::running) + days.count(DayState::detections);
    facts.push_back(
        {"days the logger ran", std::to_string(ran) + " of " + std::to_string(days.days())});
  }
  facts.push_back({"days with detections", std::to_string(summary.detection_days().size())});
  if (std::optional<Date> cut = summary.cut_off_before()) {
    facts.push_back({"days shown day by day",
                     std::to_string(summary.days().size()) + ", from " + iso_date(*cut)});
  }
  auto wrong =
      std::count_if(runs.begin(), runs.end(), [](const RunRecord& run) { return !run.clock.ok(); });
  facts.push_back({"clock", wrong == 0 ? "ok"
                                       : "wrong in " + std::to_string(wrong) + " of " +
                                             std::to_string(runs.size()) + " runs"});
  facts.push_back({"tagsheets", std::to_string(totals.tagsheets)});
  facts.push_back({"runs", std::to_string(totals.runs)});
  facts.push_back({"detections", std::to_string(summary.detections())});
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
  if (totals.unreadable_folders) {
    facts.push_back({"folders not read", std::to_string(totals.unreadable_folders)});
  }
  return facts;
}

}  // namespace kestrel::report
