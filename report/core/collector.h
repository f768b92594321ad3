// Takes the records of every tagsheet in turn: streams rows into detections.csv and the
// summary, keeps the runs with what their dates say of the clock, and reports skipped lines
// on the terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report/core/clock_check.h"
#include "report/core/csv.h"
#include "report/core/parser.h"
#include "report/core/run.h"
#include "report/core/summary.h"

namespace kestrel::report {

class Collector : public RecordSink {
 public:
  // Skipped lines are printed to problems, at most max_printed per file.
  Collector(DetectionsCsv& detections, Summary& summary, std::FILE* problems,
            const ClockLimits& limits, std::uint64_t max_printed = 20);

  // file: the tagsheet's path relative to the folder read; date: its start date, from its name.
  void begin_file(std::string file, std::optional<Date> date);
  void end_file();
  // A tagsheet that could not be read at all, or not to its end.
  void file_failed(std::string_view what);

  void header(const Header& header) override;
  void row(const Row& row, std::uint64_t line) override;
  void stop(std::string_view text, std::uint64_t line) override;
  void problem(std::uint64_t line, std::string_view what) override;

  const std::vector<RunRecord>& runs() const { return runs_; }
  std::uint64_t skipped_lines() const { return skipped_lines_; }
  std::uint64_t unreadable_files() const { return unreadable_files_; }

 private:
  RunRecord* current_run();

  DetectionsCsv& detections_;
  Summary& summary_;
  std::FILE* problems_;
  std::uint64_t max_printed_;
  ClockCheck clock_;
  std::string file_;
  std::optional<Date> date_;
  std::vector<RunRecord> runs_;
  std::size_t file_first_run_ = 0;  // runs_ index of the current file's first run
  std::uint64_t file_problems_ = 0;
  std::uint64_t skipped_lines_ = 0;
  std::uint64_t unreadable_files_ = 0;
};

}  // namespace kestrel::report
