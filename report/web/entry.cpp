// The report's entry points for the page, kestrel-report.html. The page names the files it
// was given, reads the tagsheets among them in the order asked, slice by slice, and gets
// runs.csv, detections.csv and the report page back through write_output as they are
// written: the same report the command writes, from the same code.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report/core/clock_check.h"
#include "report/core/report.h"
#include "report/core/tagsheet_names.h"
#include "report/core/text_sink.h"

// Hands the page the next piece of an output: 0 runs.csv, 1 detections.csv, 2 report.html.
extern "C" __attribute__((import_module("env"), import_name("write_output"))) void write_output(
    std::uint32_t stream, const char* text, std::size_t size);

// A function the page calls by its name.
#define EXPORT(name) extern "C" __attribute__((export_name(#name)))

namespace kestrel::report {
namespace {

constexpr std::size_t piece_size = 1 << 20;

// Gathers an output into pieces, so that the page is called once a piece, not once a row.
class PageOutput : public TextSink {
 public:
  explicit PageOutput(std::uint32_t stream) : stream_(stream) { buffer_.reserve(piece_size); }

  void write(std::string_view text) override {
    if (buffer_.size() + text.size() > piece_size) flush();
    if (text.size() >= piece_size) {
      write_output(stream_, text.data(), text.size());
    } else {
      buffer_.append(text);
    }
  }

  void flush() {
    if (!buffer_.empty()) write_output(stream_, buffer_.data(), buffer_.size());
    buffer_.clear();
  }

 private:
  std::uint32_t stream_;
  std::string buffer_;
};

struct Session {
  std::vector<char> input;  // what the page hands over: names, then slices of tagsheets
  std::vector<TagsheetFile> files;
  std::vector<std::uint32_t> page_indexes;  // the page's number for each of files
  std::vector<std::size_t> order;
  std::string folder;
  PageOutput runs_csv{0};
  PageOutput detections_csv{1};
  PageOutput page{2};
  std::optional<Report> report;
} session;

std::string_view input(std::size_t size) { return std::string_view(session.input.data(), size); }

}  // namespace

// The buffer the page writes names and slices into; its address.
EXPORT(input_buffer) char* input_buffer(std::size_t size) {
  session.input.resize(size);
  return session.input.data();
}

// A file the page was given, its path relative to the folder in the input buffer; true when
// it is a tagsheet, which the report then reads.
EXPORT(add_file) bool add_file(std::uint32_t page_index, std::size_t path_size) {
  std::string path(input(path_size));
  std::string_view name = std::string_view(path).substr(path.rfind('/') + 1);  // npos + 1 is 0
  if (!is_tagsheet_name(name)) return false;
  session.files.push_back(TagsheetFile{path, path, date_in_name(name), 0});
  session.page_indexes.push_back(page_index);
  return true;
}

// Puts the tagsheets in reading order; their number.
EXPORT(order_files) std::size_t order_files() {
  session.order = reading_order(session.files);
  return session.order.size();
}

// The page's number of the tagsheet read at position.
EXPORT(file_at) std::uint32_t file_at(std::size_t position) {
  return session.page_indexes[session.order[position]];
}

// Starts the report of the folder named in the input buffer, made at now (seconds since
// 1970 UTC, the computer's clock).
EXPORT(begin) void begin(std::size_t folder_size, double now) {
  session.folder = std::string(input(folder_size));
  session.report.emplace(session.detections_csv, stderr,
                         ClockLimits{first_release_date(), static_cast<std::int64_t>(now)});
}

EXPORT(begin_file) void begin_file(std::size_t position) {
  const TagsheetFile& file = session.files[session.order[position]];
  session.report->begin_file(file.relative, file.date);
}

// The next slice of the tagsheet, in the input buffer.
EXPORT(feed) void feed(std::size_t size) { session.report->feed(input(size)); }

// The tagsheet could not be read to its end; why is in the input buffer.
EXPORT(file_failed) void file_failed(std::size_t what_size) {
  session.report->file_failed(input(what_size));
}

EXPORT(end_file) void end_file() { session.report->end_file(); }

EXPORT(detections) double detections() { return static_cast<double>(session.report->detections()); }

// Writes runs.csv and the report page and hands over what is left of every output.
EXPORT(finish) void finish() {
  session.report->finish(session.folder, 0, session.runs_csv, session.page);
  session.detections_csv.flush();
  session.runs_csv.flush();
  session.page.flush();
}

}  // namespace kestrel::report
