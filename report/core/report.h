// One report of a folder of tagsheets, made the same way by the command and by the page: the
// tagsheets go in one at a time in the order of reading_order(), each in pieces of any size.
// Rows stream into detections.csv and the summary as they are read, the runs are kept with
// what their dates say of the clock, and skipped lines are reported on the terminal; runs.csv
// and the page are written at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report/core/clock_check.h"
#include "report/core/csv.h"
#include "report/core/days.h"
#include "report/core/html.h"
#include "report/core/parser.h"
#include "report/core/run.h"
#include "report/core/summary.h"
#include "report/core/text_sink.h"

namespace kestrel::report {

class Report : private RecordSink {
 public:
  // Skipped lines are printed to problems, at most max_printed per file.
  Report(TextSink& detections_csv, std::FILE* problems, const ClockLimits& limits,
         std::uint64_t max_printed = 20);

  // relative: the tagsheet's path below the folder read; date: the date its name holds.
  void begin_file(std::string relative, std::optional<Date> date);
  void feed(std::string_view piece) { parser_->feed(piece); }
  // The tagsheet could not be read, or not to its end; what was read counts.
  void file_failed(std::string_view what);
  void end_file();

  std::uint64_t detections() const { return summary_.detections(); }
  // Writes runs.csv and the page (folder: how the folder read is named on it; skipped_folders:
  // how many folders the search for tagsheets could not read) and returns the totals that
  // head the page.
  std::vector<Fact> finish(const std::string& folder, std::uint64_t skipped_folders,
                           TextSink& runs_csv, TextSink& page);

 private:
  void header(const Header& header) override;
  void row(const Row& row, std::uint64_t line) override;
  void stop(std::string_view text, std::uint64_t line) override;
  void problem(std::uint64_t line, std::string_view what) override;
  // The run begun last in this file; none before its first header.
  RunRecord* current_run();
  // First what a technician asks first: which logger, which days it ran and had
  // detections, whether its clock can be trusted; then the counts.
  std::vector<Fact> facts(const DayMap& days, std::uint64_t skipped_folders) const;

  ClockLimits limits_;
  DetectionsCsv detections_;
  Summary summary_;
  ClockCheck clock_;
  std::FILE* problems_;
  std::uint64_t max_printed_;
  std::optional<TagsheetParser> parser_;
  std::string file_;
  std::optional<Date> date_;
  bool file_failed_ = false;
  std::vector<RunRecord> runs_;
  std::size_t file_first_run_ = 0;  // runs_ index of the current file's first run
  std::uint64_t file_problems_ = 0;
  std::uint64_t tagsheets_ = 0;
  std::uint64_t skipped_lines_ = 0;
  std::uint64_t unreadable_files_ = 0;
};

}  // namespace kestrel::report
