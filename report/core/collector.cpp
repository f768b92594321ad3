#include "report/core/collector.h"

#include <cinttypes>

namespace kestrel::report {

Collector::Collector(DetectionsCsv& detections, Summary& summary, std::FILE* problems,
                     const ClockLimits& limits, std::uint64_t max_printed)
    : detections_(detections),
      summary_(summary),
      problems_(problems),
      max_printed_(max_printed),
      clock_(limits) {}

void Collector::begin_file(std::string file, std::optional<Date> date) {
  file_ = std::move(file);
  date_ = date;
  file_first_run_ = runs_.size();
  file_problems_ = 0;
  detections_.set_file(file_);
}

void Collector::end_file() {
  if (file_problems_ > max_printed_) {
    std::fprintf(problems_, "%s: %" PRIu64 " more lines skipped\n", file_.c_str(),
                 file_problems_ - max_printed_);
  }
}

void Collector::file_failed(std::string_view what) {
  ++unreadable_files_;
  std::fprintf(problems_, "%s: %.*s\n", file_.c_str(), static_cast<int>(what.size()), what.data());
}

RunRecord* Collector::current_run() {
  return runs_.size() > file_first_run_ ? &runs_.back() : nullptr;
}

void Collector::header(const Header& header) {
  RunRecord& run = runs_.emplace_back();
  run.date = date_ ? iso_date(*date_) : "";
  run.file = file_;
  run.header = header;
  std::optional<TimeOfDay> time = parse_time(header.start_time);
  if (date_ && time) {
    run.start = Moment{*date_, *time};
  }
  clock_.run_start(run.start, run.clock);
}

void Collector::row(const Row& row, std::uint64_t line) {
  // Rows before the file's first header belong to no run but are still detections.
  if (RunRecord* run = current_run()) {
    ++run->rows;
    run->last_row = Moment{row.date, row.time};
    clock_.row(*run->last_row, run->clock);
  }
  detections_.add(row, line);
  summary_.add(row);
}

void Collector::stop(std::string_view text, std::uint64_t line) {
  RunRecord* run = current_run();
  if (run == nullptr) {
    problem(line, "stop line before any header");
  } else if (!run->stop) {
    run->stop = std::string(text);  // a later one comes from an export repeated before the restart
  }
}

void Collector::problem(std::uint64_t line, std::string_view what) {
  ++skipped_lines_;
  if (++file_problems_ <= max_printed_) {
    std::fprintf(problems_, "%s:%" PRIu64 ": %.*s; skipped\n", file_.c_str(), line,
                 static_cast<int>(what.size()), what.data());
  }
}

}  // namespace kestrel::report
