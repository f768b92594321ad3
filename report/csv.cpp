#include "report/csv.h"

#include <string>

namespace kestrel::report {

namespace {

// What a spreadsheet takes as the start of a formula (OWASP's list for CSV injection).
bool starts_formula(std::string_view text) {
  return !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
}

}  // namespace

std::string csv_field(std::string_view text) {
  std::string cell = starts_formula(text) ? '\'' + std::string(text) : std::string(text);
  bool quote = cell.find_first_of(",\"\r\n") != std::string::npos ||
               (!cell.empty() && (cell.front() == ' ' || cell.back() == ' '));
  if (!quote) return cell;
  std::string out = "\"";
  for (char c : cell) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

void write_runs_csv(TextSink& out, const std::vector<RunRecord>& runs, const ClockLimits& limits) {
  out.write(
      "date,start_time,last_seen_before,stop_text,serial_number,rows,stopped,file,line,clock\n");
  for (const RunRecord& run : runs) {
    out.write(csv_field(run.date) + ',' + csv_field(run.start_time()) + ',' +
              csv_field(run.header.last_seen) + ',' + csv_field(run.stop.value_or("")) + ',' +
              csv_field(run.serial_number()) + ',' + std::to_string(run.rows) + ',' +
              (run.stop ? "yes" : "no") + ',' + csv_field(run.file) + ',' +
              std::to_string(run.header.line) + ',' + csv_field(run.clock.text(limits)) + '\n');
  }
}

DetectionsCsv::DetectionsCsv(TextSink& out) : out_(out) { out_.write("time,distance,file,line\n"); }

void DetectionsCsv::add(const Row& row, uint64_t line) {
  line_ = iso_date(row.date);
  line_ += 'T';
  line_ += iso_time(row.time);
  line_ += ',';
  line_ += distance_text(row.centimetres);
  line_ += ',';
  line_ += file_field_;
  line_ += ',';
  line_ += std::to_string(line);
  line_ += '\n';
  out_.write(line_);
}

}  // namespace kestrel::report
