#include "report/core/report.h"

#include <algorithm>
#include <cinttypes>

namespace kestrel::report {

Report::Report(TextSink& detections_csv, std::FILE* problems, const ClockLimits& limits,
               std::uint64_t max_printed)
    : limits_(limits),
      detections_(detections_csv),
      clock_(limits),
      problems_(problems),
      max_printed_(max_printed) {}

void Report::begin_file(std::string relative, std::optional<Date> date) {
  ++tagsheets_;
  parser_.emplace(static_cast<RecordSink&>(*this));
  file_ = std::move(relative);
  date_ = date;
  file_failed_ = false;
  file_first_run_ = runs_.size();
  file_problems_ = 0;
  detections_.set_file(file_);
}

void Report::file_failed(std::string_view what) {
  file_failed_ = true;
  ++unreadable_files_;
  std::fprintf(problems_, "%s: %.*s\n", file_.c_str(), static_cast<int>(what.size()), what.data());
}

void Report::end_file() {
  // A file read only in part has no end to find a record cut short at.
  if (!file_failed_) parser_->finish();
  if (file_problems_ > max_printed_) {
    std::fprintf(problems_, "%s: %" PRIu64 " more lines skipped\n", file_.c_str(),
                 file_problems_ - max_printed_);
  }
}

std::vector<Fact> Report::finish(const std::string& folder, std::uint64_t skipped_folders,
                                 TextSink& runs_csv, TextSink& page) {
  write_runs_csv(runs_csv, runs_, limits_);
  DayMap days(runs_, summary_);
  std::vector<Fact> facts = this->facts(days, skipped_folders);
  write_report_html(page, folder, facts, summary_, runs_, days, limits_);
  return facts;
}

std::vector<Fact> Report::facts(const DayMap& days, std::uint64_t skipped_folders) const {
  auto when = [](const Row& row) { return iso_date(row.date) + ' ' + iso_time(row.time); };
  std::vector<Fact> facts;
  std::vector<std::string_view> serials;  // each once, in the order they first appear
  std::string serial_list;
  for (const RunRecord& run : runs_) {
    if (std::find(serials.begin(), serials.end(), run.serial_number()) == serials.end()) {
      serial_list += (serial_list.empty() ? "" : ", ") + std::string(run.serial_number());
      serials.push_back(run.serial_number());
    }
  }
  if (!serials.empty()) {
    facts.push_back({serials.size() == 1 ? "serial number" : "serial numbers", serial_list});
  }
  if (!days.empty()) {
    facts.push_back({"first day", iso_date(days.first())});
    facts.push_back({"last day", iso_date(days.last())});
    std::uint64_t ran = days.count(DayState::running) + days.count(DayState::detections);
    facts.push_back(
        {"days the logger ran", std::to_string(ran) + " of " + std::to_string(days.days())});
  }
  facts.push_back({"days with detections", std::to_string(days.count(DayState::detections))});
  if (std::optional<Date> cut = summary_.cut_off_before()) {
    facts.push_back({"days shown day by day",
                     std::to_string(summary_.days().size()) + ", from " + iso_date(*cut)});
  }
  auto wrong = std::count_if(runs_.begin(), runs_.end(),
                             [](const RunRecord& run) { return !run.clock.ok(); });
  facts.push_back({"clock", wrong == 0 ? "ok"
                                       : "wrong in " + std::to_string(wrong) + " of " +
                                             std::to_string(runs_.size()) + " runs"});
  facts.push_back({"tagsheets", std::to_string(tagsheets_)});
  facts.push_back({"runs", std::to_string(runs_.size())});
  facts.push_back({"detections", std::to_string(summary_.detections())});
  if (summary_.first()) {
    facts.push_back({"first detection", when(*summary_.first())});
    facts.push_back({"last detection", when(*summary_.last())});
    facts.push_back({"closest distance", distance_text(summary_.closest()->centimetres) + " m at " +
                                             when(*summary_.closest())});
  }
  facts.push_back({"lines skipped", std::to_string(skipped_lines_)});
  if (unreadable_files_) {
    facts.push_back({"tagsheets not read to the end", std::to_string(unreadable_files_)});
  }
  if (skipped_folders) facts.push_back({"folders not read", std::to_string(skipped_folders)});
  return facts;
}

RunRecord* Report::current_run() {
  return runs_.size() > file_first_run_ ? &runs_.back() : nullptr;
}

void Report::header(const Header& header) {
  RunRecord& run = runs_.emplace_back();
  run.date = date_ ? iso_date(*date_) : "";
  run.file = file_;
  run.header = header;
  std::optional<TimeOfDay> time = parse_time(header.start_time);
  if (date_ && time) run.start = Moment{*date_, *time};
  clock_.run_start(run.start, run.clock);
}

void Report::row(const Row& row, std::uint64_t line) {
  // Rows before the file's first header belong to no run but are still detections.
  if (RunRecord* run = current_run()) {
    ++run->rows;
    run->last_row = Moment{row.date, row.time};
    clock_.row(*run->last_row, run->clock);
  }
  detections_.add(row, line);
  summary_.add(row);
}

void Report::stop(std::string_view text, std::uint64_t line) {
  RunRecord* run = current_run();
  if (run == nullptr) {
    problem(line, "stop line before any header");
  } else if (!run->stop) {
    run->stop = std::string(text);  // a later one comes from an export repeated before the restart
  }
}

void Report::problem(std::uint64_t line, std::string_view what) {
  ++skipped_lines_;
  if (++file_problems_ <= max_printed_) {
    std::fprintf(problems_, "%s:%" PRIu64 ": %.*s; skipped\n", file_.c_str(), line,
                 static_cast<int>(what.size()), what.data());
  }
}

}  // namespace kestrel::report
