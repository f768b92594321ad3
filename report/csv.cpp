#include "report/csv.h"

#include <string>

namespace kestrel::report {

std::string csv_field(std::string_view text) {
  bool quote = text.find_first_of(",\"\r\n") != std::string_view::npos ||
               (!text.empty() && (text.front() == ' ' || text.back() == ' '));
  if (!quote) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + '"';
}

void write_runs_csv(const std::string& path, const std::vector<RunRecord>& runs) {
  OutputFile out(path);
  out.write("date,start_time,last_seen_before,stop_text,serial_number,rows,stopped,file,line\n");
  for (const RunRecord& run : runs) {
    // A line end the serial number file holds is not part of the number.
    std::string_view serial = run.header.serial;
    while (!serial.empty() && (serial.back() == '\n' || serial.back() == '\r')) {
      serial.remove_suffix(1);
    }
    out.write(csv_field(run.date) + ',' + csv_field(run.start_time()) + ',' +
              csv_field(run.header.last_seen) + ',' + csv_field(run.stop.value_or("")) + ',' +
              csv_field(serial) + ',' + std::to_string(run.rows) + ',' + (run.stop ? "yes" : "no") +
              ',' + csv_field(run.file) + ',' + std::to_string(run.header.line) + '\n');
  }
  out.close();
}

DetectionsCsv::DetectionsCsv(const std::string& path) : out_(path) {
  out_.write("time,distance,file,line\n");
}

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
