#include "tagsheet/repair.h"

#include <limits>
#include <string_view>

#include "platform/errors.h"
#include "tagsheet/end_lines.h"
#include "tagsheet/format.h"

namespace kestrel {
namespace {

using tagsheet::stop_label;
constexpr std::size_t npos = std::string_view::npos;

// A card writes whole sectors, and the page cache hands a write to the file
// system page by page: a write cut short ends on a multiple of this.
constexpr std::uint64_t write_unit = 512;

// The most lines a header can span.
constexpr std::size_t header_lines =
    tagsheet::fixed_header_lines + tagsheet::max_extra_header_lines;

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Whether a row's text ends the line: a row, or a stop line a row continues.
bool ends_in_row(std::string_view line) {
  using namespace tagsheet;
  const std::size_t time_gap_column = row_time_column + time_width;
  const std::size_t gap = line.rfind(row_gap_after_time);
  if (gap == npos || gap < time_gap_column || gap + row_gap_after_time.size() == line.size()) {
    return false;
  }
  const std::size_t row = gap - time_gap_column;
  return line.substr(row + date_width, row_gap_after_date.size()) == row_gap_after_date;
}

// Where a header's label continues a stop line, or npos.
std::size_t joined_header(std::string_view stop_line) {
  return stop_line.find(stop_label, stop_label.size());
}

bool bare_stop_line(std::string_view line) {
  return starts_with(line, stop_label) && joined_header(line) == npos && !ends_in_row(line);
}

// Whether the stop label that begins `line` is a stop line's, not a header's.
bool opens_stop_line(const EndLines& lines, const TextLine& line) {
  if (lines.first(line)) return false;
  const std::string_view before = lines.text(lines.before(line));
  return before.empty() || bare_stop_line(before);
}

// Where the header the text ends in begins, when no title line has ended
// since; npos when the text ends in another record or after a whole header.
// A last line that holds only part of the stop label may as well be the start
// label cut short, so the lines before it tell.
std::size_t header_cut_short(const EndLines& lines) {
  TextLine line = lines.last();
  bool last = true;
  if (line.start == line.end) {  // the text ends with a line end
    if (lines.first(line)) return npos;
    line = lines.before(line);
    last = false;
  }
  for (std::size_t seen = 0; seen < header_lines; ++seen) {
    const std::string_view text = lines.text(line);
    if (starts_with(text, stop_label)) {
      if (!opens_stop_line(lines, line)) return line.start;
      const std::size_t joined = joined_header(text);
      return joined == npos ? npos : line.start + joined;
    }
    if (!last && (text == tagsheet::title_line || ends_in_row(text))) return npos;
    if (lines.first(line)) return npos;
    line = lines.before(line);
    last = false;
  }
  return npos;
}

// Where the whole records of the text end.
std::size_t whole_records_end(const EndLines& lines) {
  const std::size_t header = header_cut_short(lines);
  if (header != npos) return header;
  const TextLine last = lines.last();
  const std::string_view text = lines.text(last);
  if (starts_with(text, stop_label)) return last.end;
  if (starts_with(stop_label, text) && opens_stop_line(lines, last)) {
    return lines.before(last).end;
  }
  return last.start;
}

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
  if (!nul_tail && length % write_unit != 0) return length;  // no sign of a cut
  try {
    const EndLines lines(std::string_view(bytes).substr(0, last + 1), end.offset == 0);
    return end.offset + whole_records_end(lines);
  } catch (const EndLines::NotReached&) {
    return std::nullopt;
  }
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
