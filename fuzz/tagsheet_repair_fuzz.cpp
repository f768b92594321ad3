// The start's repair of a tagsheet a power cut left damaged. The first byte
// picks one of two kinds of input:
//
// - A tagsheet built from the logger's records (headers, rows, stop lines,
//   as run after run appends them), perhaps saved by an editor with CR or
//   CR LF line ends and a byte-order mark before the logger appended more,
//   then cut anywhere and given a tail of NUL bytes (or none). The length
//   kept must be where the whole records before the cut end, by a model of
//   the records written here: nothing whole removed, nothing cut short kept
//   (a stop line's value has no end, so what follows its label on its line
//   stays). Without a sign of a cut everything stays.
// - Any bytes. What goes holds no whole record (no line end after a row or
//   the title, no line end before a whole stop label), and nothing goes
//   without a sign of a cut.
//
// In both, the end of the file judged from a shorter end either asks for
// more or gives the same length.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "tagsheet/repair.h"
#include "tests/support/line_ends.h"

namespace {

const std::string stop_label = "Equipment Stop Time:";
const std::string title = "    Date       Time     Distance of Object";
const std::string mark = "\xEF\xBB\xBF";

enum class Kind { header, row, stop };

struct Record {
  Kind kind;
  std::size_t start;
  std::size_t end;
  bool joined;  // continues a stop line's line
};

struct Tagsheet {
  std::string text;
  std::vector<Record> records;
  std::size_t line_end_size = 1;  // of the records an editor saved
  std::size_t edited = 0;         // records the editor saved
};

std::string pick(FuzzedDataProvider& input, const std::vector<std::string>& texts) {
  return texts[input.ConsumeIntegralInRange<std::size_t>(0, texts.size() - 1)];
}

std::string record_text(Kind kind, FuzzedDataProvider& input) {
  switch (kind) {
    case Kind::header:
      return stop_label + pick(input, {" ", "", "08-10-12", "07-00-01\nmore"}) +
             "\n\n\nEquipment Start Time:08-00-05\nSerial No:" +
             pick(input, {"SN-0042\n", "SN-0042", "A\nB\n"}) + "\n" + title + "\n";
    case Kind::row:
      return pick(input, {"07-12-2026", "31-12-2026"}) + "    " +
             pick(input, {"08-10-12", "23-59-59"}) + "        " +
             pick(input, {"1.25", "0.00", "655.35"}) + "\n";
    case Kind::stop:
      return "\n" + stop_label + pick(input, {" ", "", "08-10-13"});
  }
  return {};
}

// Run after run as the logger appends them: a header first, and the first
// record the logger appended after the editor's is a header too.
Tagsheet build(FuzzedDataProvider& input) {
  Tagsheet sheet;
  if (input.ConsumeBool()) sheet.text = mark;
  const std::string line_end = pick(input, {"\n", "\r", "\r\n"});
  sheet.line_end_size = line_end.size();
  const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(1, 12);
  sheet.edited = input.ConsumeIntegralInRange<std::size_t>(0, count);
  for (std::size_t k = 0; k < count; ++k) {
    Kind kind = Kind::header;
    if (k > 0 && k != sheet.edited) {
      kind = static_cast<Kind>(input.ConsumeIntegralInRange<int>(0, 2));
    }
    std::string text = record_text(kind, input);
    if (k < sheet.edited) text = kestrel::testing::with_line_ends(text, line_end);
    const bool joined = k > 0 && sheet.records.back().kind == Kind::stop && kind != Kind::stop;
    sheet.records.push_back(
        Record{kind, sheet.text.size(), sheet.text.size() + text.size(), joined});
    sheet.text += text;
  }
  return sheet;
}

// Where the whole records end in the first `cut` bytes of the tagsheet.
std::size_t whole_records_end(const Tagsheet& sheet, std::size_t cut) {
  for (std::size_t k = 0; k < sheet.records.size(); ++k) {
    const Record& record = sheet.records[k];
    if (cut <= record.start || cut >= record.end) continue;
    const std::size_t line_end_size = k < sheet.edited ? sheet.line_end_size : 1;
    // Cut between a CR and its LF: the line has ended.
    const bool line_ended = line_end_size == 2 && cut == record.end - 1;
    switch (record.kind) {
      case Kind::row:
        return record.joined || line_ended ? cut : record.start;
      case Kind::header:
        if (record.joined && cut < record.start + stop_label.size()) return cut;
        return line_ended ? cut : record.start;
      case Kind::stop:
        return cut < record.start + line_end_size + stop_label.size() ? record.start : cut;
    }
  }
  return cut;
}

std::string escaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    char hex[8];
    std::snprintf(hex, sizeof hex, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02x", c);
    out += hex;
  }
  return out;
}

std::string lengths(const char* first, std::uint64_t a, const char* second, std::uint64_t b) {
  return first + std::to_string(a) + second + std::to_string(b);
}

[[noreturn]] void fail(const char* what, const std::string& file, const std::string& detail) {
  std::fprintf(stderr, "%s\nfile: %s\n%s\n", what, escaped(file).c_str(), detail.c_str());
  std::abort();
}

// The length the whole file keeps; the same from any shorter end that tells.
std::uint64_t judged(const std::string& file, std::size_t shorter) {
  const std::optional<std::uint64_t> whole = kestrel::whole_records_length({0, file});
  if (!whole) fail("the whole file did not tell", file, "");
  const std::size_t from = file.size() - std::min(shorter, file.size());
  const std::optional<std::uint64_t> end = kestrel::whole_records_length({from, file.substr(from)});
  if (end && *end != *whole) {
    fail("a shorter end told otherwise", file, lengths("whole file: ", *whole, ", end: ", *end));
  }
  return *whole;
}

bool line_end_at(const std::string& text, std::size_t at) {
  return at < text.size() && (text[at] == '\n' || text[at] == '\r');
}

bool digits(const std::string& text, std::size_t from, std::size_t count) {
  for (std::size_t k = from; k < from + count; ++k) {
    if (text[k] < '0' || text[k] > '9') return false;
  }
  return true;
}

bool is_row(const std::string& line) {
  return line.size() >= 34 && digits(line, 0, 2) && line.compare(2, 1, "-") == 0 &&
         digits(line, 3, 2) && line.compare(5, 1, "-") == 0 && digits(line, 6, 4) &&
         line.compare(10, 4, "    ") == 0 && digits(line, 14, 2) && line.compare(16, 1, "-") == 0 &&
         digits(line, 17, 2) && line.compare(19, 1, "-") == 0 && digits(line, 20, 2) &&
         line.compare(22, 8, "        ") == 0 && digits(line, 30, line.size() - 33) &&
         line[line.size() - 3] == '.' && digits(line, line.size() - 2, 2);
}

// What the repair removed holds no whole record.
void check_removed(const std::string& file, std::size_t kept, std::size_t length) {
  const std::string removed = file.substr(kept, length - kept);
  const bool starts_line = kept == 0 || line_end_at(file, kept - 1) ||
                           (kept == mark.size() && file.compare(0, kept, mark) == 0);
  std::size_t line = 0;
  for (std::size_t at = 0; at < removed.size(); ++at) {
    if (!line_end_at(removed, at)) continue;
    const std::string text = removed.substr(line, at - line);
    if ((line > 0 || starts_line) && (text == title || is_row(text))) {
      fail("a whole row or header went", file, lengths("kept ", kept, " of ", length));
    }
    if (removed[at] == '\r' && at + 1 < removed.size() && removed[at + 1] == '\n') ++at;
    if (removed.compare(at + 1, stop_label.size(), stop_label) == 0) {
      fail("a whole stop label went", file, lengths("kept ", kept, " of ", length));
    }
    line = at + 1;
  }
}

void records(FuzzedDataProvider& input) {
  const Tagsheet sheet = build(input);
  const std::size_t first = sheet.records.front().start;
  const std::size_t cut = input.ConsumeIntegralInRange<std::size_t>(first, sheet.text.size());
  const std::size_t nuls = input.ConsumeIntegralInRange<std::size_t>(0, 40);
  const std::string file = sheet.text.substr(0, cut) + std::string(nuls, '\0');
  const bool cut_shows = nuls > 0 || cut % 512 == 0;
  const std::uint64_t expected = cut_shows ? whole_records_end(sheet, cut) : cut;
  const std::uint64_t got = judged(file, input.ConsumeIntegral<std::size_t>());
  if (got != expected) {
    fail("not the whole records", file, lengths("expected ", expected, ", got ", got));
  }
}

void any_bytes(FuzzedDataProvider& input) {
  const std::size_t shorter = input.ConsumeIntegral<std::size_t>();
  const std::string file = input.ConsumeRemainingBytesAsString();
  const std::size_t length = file.find_last_not_of('\0') + 1;  // 0 for NUL bytes only
  const std::uint64_t kept = judged(file, shorter);
  if (kept > length || (length == file.size() && length % 512 != 0 && kept != length)) {
    fail("kept more than the file holds, or cut without a sign of a cut", file,
         lengths("kept ", kept, " of ", length));
  }
  check_removed(file, kept, length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool()) {
    records(input);
  } else {
    any_bytes(input);
  }
  return 0;
}
