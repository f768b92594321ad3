#include "tagsheet/repair.h"

#include <limits>

#include "platform/errors.h"
#include "tagsheet/format.h"

namespace kestrel {
namespace {

// A card writes whole sectors, and the page cache hands a write to the file
// system page by page: a write cut short ends on a multiple of this.
constexpr std::uint64_t write_unit = 512;

void repair(const std::string& path, FileEnds& ends) {
  std::optional<FileEnd> end = ends.end_of(path, judged_end);
  if (!end) return;
  std::optional<std::uint64_t> keep = whole_records_length(*end);
  if (!keep) {
    end = ends.end_of(path, std::numeric_limits<std::size_t>::max());
    if (!end) return;
    keep = whole_records_length(*end);
  }
  if (keep && *keep < end->offset + end->bytes.size()) ends.cut(path, *keep);
}

}  // namespace

std::optional<std::uint64_t> whole_records_length(const FileEnd& end) {
  const std::string& bytes = end.bytes;
  const std::size_t last = bytes.find_last_not_of('\0');
  if (last == std::string::npos) {
    if (end.offset > 0) return std::nullopt;
    return 0;
  }
  const std::uint64_t length = end.offset + last + 1;
  const bool nul_tail = last + 1 < bytes.size();
  if (bytes[last] == '\n' || (!nul_tail && length % write_unit != 0)) return length;

  // A last line without a line end, after a cut: a stop line, or a record cut short.
  const std::size_t line_end = bytes.rfind('\n', last);
  if (line_end == std::string::npos && end.offset > 0) return std::nullopt;
  const std::size_t line = line_end == std::string::npos ? 0 : line_end + 1;
  if (bytes.compare(line, tagsheet::stop_label.size(), tagsheet::stop_label) == 0) return length;
  return end.offset + line;
}

void repair_tagsheets(const std::string& directory, Files& files, FileEnds& ends) {
  std::vector<std::string> days;
  try {
    days = files.list(directory);
  } catch (const OsError&) {
    return;
  }
  for (const std::string& day : days) {
    repair(directory + "/" + day + "/" + tagsheet::file_name(day), ends);
  }
}

}  // namespace kestrel
