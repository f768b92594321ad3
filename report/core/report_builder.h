// One report of a folder of tagsheets, built the same way by the command and by the page:
// the tagsheets go in one at a time in the order of order_tagsheets(), line by line;
// detections.csv is written as the rows come, runs.csv and the page at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report/core/clock_check.h"
#include "report/core/collector.h"
#include "report/core/csv.h"
#include "report/core/facts.h"
#include "report/core/line_splitter.h"
#include "report/core/parser.h"
#include "report/core/summary.h"
#include "report/core/text_sink.h"

namespace kestrel::report {

class ReportBuilder {
 public:
  // Skipped lines are reported on problems.
  ReportBuilder(TextSink& detections_csv, std::FILE* problems, const ClockLimits& limits);

  // relative: the tagsheet's path below the folder read; date: the date its name holds.
  void begin_file(std::string relative, std::optional<Date> date);
  void line(const Line& line);
  // The tagsheet could not be read to its end; what was read counts.
  void file_failed(std::string_view what);
  void end_file();
  // How many folders the search for tagsheets had to skip; counted in the totals.
  void skipped_folders(std::uint64_t count) { skipped_folders_ = count; }

  std::uint64_t detections() const { return summary_.detections(); }
  // Writes runs.csv and the page (folder: how the folder read is named on it) and returns
  // the totals that head the page.
  std::vector<Fact> finish(const std::string& folder, TextSink& runs_csv, TextSink& page);

 private:
  ClockLimits limits_;
  DetectionsCsv detections_;
  Summary summary_;
  Collector collector_;
  std::optional<TagsheetParser> parser_;
  bool file_failed_ = false;
  std::uint64_t tagsheets_ = 0;
  std::uint64_t skipped_folders_ = 0;
};

}  // namespace kestrel::report
