#include "report/core/csv.h"

#include <optional>
#include <string>

namespace kestrel::report {

namespace {

// A text a spreadsheet would take for a formula (OWASP's list for CSV injection) gets a single
// quote in front.
std::string guarded(std::string_view text) {
  bool formula =
      !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string::npos;
  return (formula ? "'" : "") + std::string(text);
}

std::string quoted(const std::string& cell) {
  std::string out = "\"";
  for (char c : cell) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

// A time of day as the report writes it, else the text the header holds.
std::string start_time_cell(const RunRecord& run) {
  std::optional<TimeOfDay> time = parse_time(run.header.start_time);
  return time ? iso_time(*time) : csv_tagsheet_text(run.header.start_time);
}

}  // namespace

std::string csv_field(std::string_view text) {
  std::string cell = guarded(text);
  bool quote = cell.find_first_of(",\"\r\n") != std::string::npos ||
               (!cell.empty() && (cell.front() == ' ' || cell.back() == ' '));
  return quote ? quoted(cell) : cell;
}

std::string csv_tagsheet_text(std::string_view text) {
  return text.empty() ? std::string() : quoted('\t' + guarded(text));
}

void write_runs_csv(TextSink& out, const std::vector<RunRecord>& runs, const ClockLimits& limits) {
  out.write(std::string(utf8_bom) +
            "date,start_time,last_seen_before,stop_text,serial_number,rows,stopped,file,line,"
            "clock\n");
  for (const RunRecord& run : runs) {
    out.write(csv_field(run.date) + ',' + start_time_cell(run) + ',' +
              csv_tagsheet_text(run.header.last_seen) + ',' +
              csv_tagsheet_text(run.stop.value_or("")) + ',' +
              csv_tagsheet_text(run.serial_number()) + ',' + std::to_string(run.rows) + ',' +
              (run.stop ? "yes" : "no") + ',' + csv_field(run.file) + ',' +
              std::to_string(run.header.line) + ',' + csv_field(run.clock.text(limits)) + '\n');
  }
}

DetectionsCsv::DetectionsCsv(TextSink& out) : out_(out) {
  out_.write(std::string(utf8_bom) + "time,distance,file,line\n");
}

void DetectionsCsv::add(const Row& row, std::uint64_t line) {
  line_.assign(iso_date(row.date)).append("T").append(iso_time(row.time)).append(",");
  line_.append(distance_text(row.centimetres)).append(",").append(file_field_).append(",");
  out_.write(line_.append(std::to_string(line)).append("\n"));
}

}  // namespace kestrel::report
