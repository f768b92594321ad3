#include "report/core/report_builder.h"

#include "report/core/days.h"
#include "report/core/html.h"

namespace kestrel::report {

ReportBuilder::ReportBuilder(TextSink& detections_csv, std::FILE* problems,
                             const ClockLimits& limits)
    : limits_(limits),
      detections_(detections_csv),
      collector_(detections_, summary_, problems, limits) {}

void ReportBuilder::begin_file(std::string relative, std::optional<Date> date) {
  ++tagsheets_;
  collector_.begin_file(std::move(relative), date);
  parser_.emplace(collector_);
  file_failed_ = false;
}

void ReportBuilder::line(const Line& line) {
  if (line.too_long) {
    parser_->too_long_line();
  } else {
    parser_->line(line.text, line.ended);
  }
}

void ReportBuilder::file_failed(std::string_view what) {
  file_failed_ = true;
  collector_.file_failed(what);
}

void ReportBuilder::end_file() {
  // A file read only in part has no end to find a record cut short at.
  if (!file_failed_) {
    parser_->finish();
  }
  collector_.end_file();
}

std::vector<Fact> ReportBuilder::finish(const std::string& folder, TextSink& runs_csv,
                                        TextSink& page) {
  const std::vector<RunRecord>& runs = collector_.runs();
  write_runs_csv(runs_csv, runs, limits_);
  DayMap days(runs, summary_);
  Totals totals{tagsheets_, runs.size(), collector_.skipped_lines(), collector_.unreadable_files(),
                skipped_folders_};
  std::vector<Fact> facts = report_facts(totals, summary_, runs, days);
  write_report_html(page, folder, facts, summary_, runs, days, limits_);
  return facts;
}

}  // namespace kestrel::report
