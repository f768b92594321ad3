// kestrel-report FOLDER OUT: reads every tagsheet below FOLDER (an exported stick or the
// logger's Tagsheets folder) and writes OUT/runs.csv, OUT/detections.csv and OUT/report.html.
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "report/core/clock_check.h"
#include "report/core/report.h"
#include "report/files.h"

namespace kestrel::report {
namespace {

using Clock = std::chrono::steady_clock;

// A one-line progress display on the terminal, redrawn a few times a second; nothing unless
// standard error is a terminal.
class Progress {
 public:
  explicit Progress(std::uint64_t total_bytes) : total_bytes_(total_bytes) {}

  void update(std::uint64_t bytes_done, std::uint64_t rows) {
    Clock::time_point now = Clock::now();
    if (!shown_ || now < next_draw_) return;
    next_draw_ = now + std::chrono::milliseconds(250);
    drawn_ = true;
    unsigned percent = total_bytes_ ? static_cast<unsigned>(bytes_done * 100 / total_bytes_) : 100;
    std::fprintf(stderr, "\rreading tagsheets: %3u%%, %" PRIu64 " rows\033[K", percent, rows);
    std::fflush(stderr);
  }

  // Clears the line.
  void done() {
    if (drawn_) std::fputs("\r\033[K", stderr);
  }

 private:
  std::uint64_t total_bytes_;
  bool shown_ = ::isatty(STDERR_FILENO) == 1;
  bool drawn_ = false;
  Clock::time_point next_draw_ = Clock::now() + std::chrono::milliseconds(500);  // then 4 a second
};

std::string usage() {
  return "usage: kestrel-report FOLDER OUT | --version\nReads every " + tagsheet_names() +
         " below FOLDER and writes OUT/runs.csv, OUT/detections.csv\n"
         "and OUT/report.html. Skipped lines and folders are reported on standard error.\n";
}

int run(const std::string& folder, const std::filesystem::path& out) {
  FoundTagsheets found = find_tagsheets(folder, stderr);
  if (found.files.empty()) {
    std::fprintf(stderr, "kestrel-report: no %s below %s\n", tagsheet_names().c_str(),
                 folder.c_str());
    return 1;
  }
  std::filesystem::create_directories(out);
  OutputFile detections((out / "detections.csv").string());
  Report report(detections, stderr,
                ClockLimits{first_release_date(), static_cast<std::int64_t>(std::time(nullptr))});
  std::uint64_t total_bytes = 0;
  for (const TagsheetFile& file : found.files) total_bytes += file.size;
  Progress progress(total_bytes);
  std::uint64_t bytes_read = 0;
  for (const TagsheetFile& file : found.files) {
    report.begin_file(file.relative, file.date);
    try {
      read_file(file.path, [&](std::string_view piece) {
        report.feed(piece);
        bytes_read += piece.size();
        progress.update(bytes_read, report.detections());
      });
    } catch (const std::system_error& error) {
      report.file_failed(error.what());
    }
    report.end_file();
  }
  progress.done();
  detections.close();
  OutputFile runs((out / "runs.csv").string());
  OutputFile page((out / "report.html").string());
  std::vector<Fact> facts = report.finish(folder, found.unreadable_folders, runs, page);
  runs.close();
  page.close();

  std::printf("kestrel-report: %s\n", folder.c_str());
  for (const Fact& fact : facts) {
    std::printf("  %-22s%s\n", fact.name.c_str(), fact.value.c_str());
  }
  std::printf("wrote %s, %s and %s\n", (out / "runs.csv").c_str(), (out / "detections.csv").c_str(),
              (out / "report.html").c_str());
  return 0;
}

}  // namespace
}  // namespace kestrel::report

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::fputs(kestrel::report::usage().c_str(), stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("kestrel-report " KESTREL_VERSION);
    return 0;
  }
  if (argc != 3) {
    std::fputs(kestrel::report::usage().c_str(), stderr);
    return 2;
  }
  try {
    return kestrel::report::run(argv[1], argv[2]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kestrel-report: %s\n", error.what());
    return 1;
  }
}
