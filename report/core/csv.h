// runs.csv and detections.csv: UTF-8 with a byte-order mark, comma-separated, a header line,
// fields quoted as RFC 4180 asks when they need it, texts guarded against being read as
// formulas, and the texts a tagsheet holds kept as text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/core/clock_check.h"
#include "report/core/fields.h"
#include "report/core/run.h"
#include "report/core/text_sink.h"

namespace kestrel::report {

// What both files begin with, so that a spreadsheet reads them as UTF-8 and not in the
// computer's own code page.
inline constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";

// A text cell (a file name, the clock note). One that begins with =, +, -, @, a tab or a
// carriage return gets a single quote in front, so that a spreadsheet shows it as text instead
// of running it as a formula. Then quoted when it holds a comma, a quote or a line end, or
// begins or ends with a blank (so a text of one blank stays visible). The numbers the report
// writes itself (counts, line numbers, distances, ISO times) are no text cells.
std::string csv_field(std::string_view text);

// A text as a tagsheet holds it (a serial number, a last-seen or stop text). A spreadsheet
// would take 1000000012345678 for a number and lose its last digit, or 08-10-12 for a date:
// a tab in front keeps it text. The text after the tab is guarded as csv_field's, and the cell
// always quoted, so that an import that splits at tabs as well keeps it whole. An empty text
// stays empty.
std::string csv_tagsheet_text(std::string_view text);

// The last column, clock, is "ok" or what the run's dates show to be wrong with the clock.
void write_runs_csv(TextSink& out, const std::vector<RunRecord>& runs, const ClockLimits& limits);

// One line per row, written as the rows are read.
class DetectionsCsv {
 public:
  explicit DetectionsCsv(TextSink& out);
  void set_file(std::string_view file) { file_field_ = csv_field(file); }
  void add(const Row& row, std::uint64_t line);

 private:
  TextSink& out_;
  std::string file_field_;
  std::string line_;
};

}  // namespace kestrel::report
