// kestrel-report FOLDER OUT: reads every tagsheet below FOLDER (an exported stick or the
// logger's Tagsheets folder) and writes OUT/runs.csv, OUT/detections.csv and OUT/report.html.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "report/core/clock_check.h"
#include "report/core/facts.h"
#include "report/core/report_builder.h"
#include "report/files.h"
#include "report/line_reader.h"
#include "report/output_file.h"
#include "report/progress.h"

namespace kestrel::report {
namespace {

std::string usage() {
  return "usage: kestrel-report FOLDER OUT | --version\nReads every " + tagsheet_names() +
         " below FOLDER and writes OUT/runs.csv, OUT/detections.csv\n"
         "and OUT/report.html. Skipped lines and folders are reported on standard error.\n";
}

// Feeds one tagsheet to the report; throws std::system_error when it cannot be read.
void read_tagsheet(const TagsheetFile& file, ReportBuilder& report, Progress& progress,
                   std::uint64_t bytes_before) {
  LineReader reader(file.path);
  Line line;
  while (reader.next(line)) {
    report.line(line);
    progress.update(bytes_before + reader.bytes_read(), report.detections());
  }
}

int run(const std::string& folder, const std::filesystem::path& out) {
  FoundTagsheets found = find_tagsheets(folder, stderr);
  const std::vector<TagsheetFile>& files = found.files;
  if (files.empty()) {
    std::fprintf(stderr, "kestrel-report: no %s below %s\n", tagsheet_names().c_str(),
                 folder.c_str());
    return 1;
  }
  std::filesystem::create_directories(out);
  OutputFile detections((out / "detections.csv").string());
  ReportBuilder report(
      detections, stderr,
      ClockLimits{first_release_date(), static_cast<std::int64_t>(std::time(nullptr))});
  report.skipped_folders(found.unreadable_folders);
  std::uint64_t total_bytes = 0;
  for (const TagsheetFile& file : files) {
    total_bytes += file.size;
  }
  Progress progress(stderr, total_bytes);

  std::uint64_t bytes_before = 0;
  for (const TagsheetFile& file : files) {
    report.begin_file(file.relative, file.date);
    try {
      read_tagsheet(file, report, progress, bytes_before);
    } catch (const std::system_error& error) {
      report.file_failed(error.what());
    }
    report.end_file();
    bytes_before += file.size;
  }
  progress.done();
  detections.close();
  OutputFile runs((out / "runs.csv").string());
  OutputFile page((out / "report.html").string());
  std::vector<Fact> facts = report.finish(folder, runs, page);
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
