// runs.csv and detections.csv: comma-separated, a header line, fields quoted as RFC 4180
// asks when they need it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/fields.h"
#include "report/output_file.h"
#include "report/run.h"

namespace kestrel::report {

// Quoted when it holds a comma, a quote or a line end, or begins or ends with a blank (so
// a last-seen text of one blank stays visible).
std::string csv_field(std::string_view text);

void write_runs_csv(const std::string& path, const std::vector<RunRecord>& runs);

// One line per row, written as the rows are read.
class DetectionsCsv {
 public:
  explicit DetectionsCsv(const std::string& path);
  void set_file(std::string_view file) { file_field_ = csv_field(file); }
  void add(const Row& row, uint64_t line);
  void close() { out_.close(); }

 private:
  OutputFile out_;
  std::string file_field_;
  std::string line_;
};

}  // namespace kestrel::report
