#include "report/core/parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tagsheet/records.h"

namespace kestrel::report {
namespace {

// Records every event as one line of text, in order.
class Recorder : public RecordSink {
 public:
  std::vector<std::string> events;

  void header(const Header& h) override {
    events.push_back("header@" + std::to_string(h.line) + " last_seen=[" + h.last_seen +
                     "] start=[" + h.start_time + "] serial=[" + h.serial + "]");
  }
  void row(const Row& r, std::uint64_t line) override {
    events.push_back("row@" + std::to_string(line) + " " + iso_date(r.date) + "T" +
                     iso_time(r.time) + " " + distance_text(r.centimetres));
  }
  void stop(std::string_view text, std::uint64_t line) override {
    events.push_back("stop@" + std::to_string(line) + " [" + std::string(text) + "]");
  }
  void problem(std::uint64_t line, std::string_view what) override {
    events.push_back("problem@" + std::to_string(line) + " " + std::string(what));
  }
};

std::vector<std::string> parse(const std::vector<std::string_view>& pieces) {
  Recorder recorder;
  TagsheetParser parser(recorder);
  for (std::string_view piece : pieces) parser.feed(piece);
  parser.finish();
  return recorder.events;
}

std::vector<std::string> parse(const std::string& text) {
  return parse(std::vector<std::string_view>{text});
}

using Events = std::vector<std::string>;

struct Case {
  const char* name;
  std::string text;
  Events expected;
};

void expect_events(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(parse(c.text), c.expected) << c.name;
}

TEST(TagsheetParser, ReadsTheWorkedExampleOfTwoRunsOnOneDay) {
  std::string text = header(" ", "08-00-05", "SN-0042\n") + row("07-12-2026", "08-10-12", "1.25") +
                     row("07-12-2026", "08-10-13", "1.20") + stop_line("08-10-13") +
                     header(" ", "08-30-00", "SN-0042\n");
  EXPECT_EQ(parse(text), (Events{"header@1 last_seen=[ ] start=[08-00-05] serial=[SN-0042\n]",
                                 "row@8 2026-12-07T08:10:12 1.25", "row@9 2026-12-07T08:10:13 1.20",
                                 "stop@11 [08-10-13]",
                                 "header@11 last_seen=[ ] start=[08-30-00] serial=[SN-0042\n]"}));
}

TEST(TagsheetParser, ReadsEveryShapeTheLoggerWrites) {
  expect_events({
      {"serial number without a line end",
       header("", "07-00-00", "SN-7") + row("01-01-2027", "07-00-01", "0.00"),
       {"header@1 last_seen=[] start=[07-00-00] serial=[SN-7]", "row@7 2027-01-01T07:00:01 0.00"}},
      {"stop line with an empty value ending the file",
       header(" ", "07-00-00", "S\n") + stop_line(""),
       {"header@1 last_seen=[ ] start=[07-00-00] serial=[S\n]", "stop@9 []"}},
      {"rows written after the stop line continue it",
       header(" ", "07-00-00", "S") + stop_line("07-00-09") +
           row("31-12-2026", "23-59-59", "655.35") + row("01-01-2027", "00-00-00", "1234.50"),
       {"header@1 last_seen=[ ] start=[07-00-00] serial=[S]", "stop@8 [07-00-09]",
        "row@8 2026-12-31T23:59:59 655.35", "row@9 2027-01-01T00:00:00 1234.50"}},
      {"a row directly after a stop line with an empty value",
       header(" ", "07-00-00", "S") + stop_line("") + row("01-01-2027", "07-00-01", "1.00"),
       {"header@1 last_seen=[ ] start=[07-00-00] serial=[S]", "stop@8 []",
        "row@8 2027-01-01T07:00:01 1.00"}},
      {"power lost: the next header follows the last row",
       header(" ", "07-00-00", "S") + row("01-01-2027", "07-00-01", "1.00") +
           header("07-00-01", "09-00-00", "S"),
       {"header@1 last_seen=[ ] start=[07-00-00] serial=[S]", "row@7 2027-01-01T07:00:01 1.00",
        "header@8 last_seen=[07-00-01] start=[09-00-00] serial=[S]"}},
      {"two starts with no detections and a clean end between them",
       header(" ", "07-00-00", "S") + stop_line(" ") + header(" ", "07-05-00", "S"),
       {"header@1 last_seen=[ ] start=[07-00-00] serial=[S]", "stop@8 [ ]",
        "header@8 last_seen=[ ] start=[07-05-00] serial=[S]"}},
      {"texts that hold line ends of their own",
       header("07-00-01\nmore", "09-00-00", "A\nB\n") + stop_line("09-00-05\n") +
           header(" ", "10-00-00", "A\nB\n"),
       {"header@1 last_seen=[07-00-01\nmore] start=[09-00-00] serial=[A\nB\n]",
        "stop@11 [09-00-05]", "header@12 last_seen=[ ] start=[10-00-00] serial=[A\nB\n]"}},
  });
}

TEST(TagsheetParser, ReportsDamagedLinesWithTheirNumbersAndReadsOn) {
  std::string good_row = row("01-01-2027", "07-00-01", "1.00");
  expect_events({
      {"a foreign line between rows",
       header(" ", "07-00-00", "S") + "hello\n" + good_row,
       {"header@1 last_seen=[ ] start=[07-00-00] serial=[S]", "problem@7 not a tagsheet record",
        "row@8 2027-01-01T07:00:01 1.00"}},
      {"a last row cut short",
       header(" ", "07-00-00", "S") + good_row + good_row.substr(0, 20),
       {"header@1 last_seen=[ ] start=[07-00-00] serial=[S]", "row@7 2027-01-01T07:00:01 1.00",
        "problem@8 last line cut short"}},
      {"a last row that lost only its line end still counts",
       header(" ", "07-00-00", "S") + good_row.substr(0, good_row.size() - 1),
       {"header@1 last_seen=[ ] start=[07-00-00] serial=[S]", "row@7 2027-01-01T07:00:01 1.00"}},
      {"a row cut short by power loss, continued by the next header",
       good_row.substr(0, 12) + header("07-00-01", "09-00-00", "S"),
       {"problem@1 record cut short before \"Equipment Stop Time:\"",
        "header@1 last_seen=[07-00-01] start=[09-00-00] serial=[S]"}},
      {"a header cut short, then a good one",
       header(" ", "07-00-00", "S").substr(0, 40) + "\n" + header(" ", "08-00-00", "S"),
       {"problem@1 header cut short", "header@5 last_seen=[ ] start=[08-00-00] serial=[S]"}},
      {"a header cut short at the end of the file",
       header(" ", "07-00-00", "S").substr(0, 60),
       {"problem@1 header cut short"}},
      {"a byte-order mark, as an editor may save it, begins only the file",
       "\xEF\xBB\xBF" + header(" ", "07-00-00", "S") + "\xEF\xBB\xBF" +
           header(" ", "08-00-00", "S"),
       {"header@1 last_seen=[ ] start=[07-00-00] serial=[S]",
        "problem@7 record cut short before \"Equipment Stop Time:\"",
        "header@7 last_seen=[ ] start=[08-00-00] serial=[S]"}},
      {"a stop line cut short to its line end",
       good_row + "\n",
       {"row@1 2027-01-01T07:00:01 1.00", "problem@2 stop line cut short"}},
      {"an empty line that begins no stop line",
       good_row + "\n" + good_row,
       {"row@1 2027-01-01T07:00:01 1.00", "problem@2 empty line outside a header",
        "row@3 2027-01-01T07:00:01 1.00"}},
      {"rows with impossible values",
       "31-02-2027    07-00-01        1.00\n01-01-2027    24-00-00        1.00\n"
       "01-01-2027    07-00-01        1.5\n01-01-2027    07-00-01         1.50\n",
       {"problem@1 not a tagsheet record", "problem@2 not a tagsheet record",
        "problem@3 not a tagsheet record", "problem@4 not a tagsheet record"}},
  });
}

TEST(TagsheetParser, ATooLongLineCutsShortTheHeaderItInterruptsAndCountsAsOneLine) {
  std::string longest(TagsheetParser::max_line, 'x');
  std::string text = "Equipment Stop Time: \n\n" + longest + "x\n" + longest + "\n" +
                     row("01-01-2027", "07-00-01", "1.00") + longest + "xx";
  Events expected = {"problem@1 header cut short", "problem@3 line too long for a tagsheet record",
                     "problem@4 not a tagsheet record", "row@5 2027-01-01T07:00:01 1.00",
                     "problem@6 line too long for a tagsheet record"};
  EXPECT_EQ(parse(text), expected);
  for (std::size_t size : {std::size_t{1000}, TagsheetParser::max_line * 2}) {
    std::vector<std::string_view> pieces;
    for (std::size_t at = 0; at < text.size(); at += size) {
      pieces.push_back(std::string_view(text).substr(at, size));
    }
    EXPECT_EQ(parse(pieces), expected) << "pieces of " << size;
  }
}

// The command reads a tagsheet through one fixed buffer, the page in slices: every cut of
// the text gives the same records.
TEST(TagsheetParser, ReadsTheSameWhereverTheTextIsCut) {
  std::string text = header(" ", "08-00-05", "SN-0042\n") + row("07-12-2026", "08-10-12", "1.25") +
                     "\n\n" + stop_line("08-10-12") + row("07-12-2026", "08-10-13", "10.20") +
                     header("08-10-13\nmore", "08-30-00", "SN-0042");
  Events whole = parse(text);
  ASSERT_EQ(whole.size(), 7u);
  std::string_view view(text);
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    for (std::size_t second = cut; second <= text.size(); second += 7) {
      EXPECT_EQ(parse({view.substr(0, cut), view.substr(cut, second - cut), view.substr(second)}),
                whole)
          << "cut at " << cut << " and " << second;
    }
  }
}

// Power can fail in the middle of any write: whatever prefix of a tagsheet survives, every
// row whose text is complete is read and nothing is invented.
TEST(TagsheetParser, EveryPrefixOfATagsheetYieldsItsCompleteRowsAndNoOthers) {
  std::vector<std::string> rows = {row("07-12-2026", "08-10-12", "1.25"),
                                   row("07-12-2026", "08-10-13", "10.20")};
  std::string text = header(" ", "08-00-05", "SN-0042\n") + rows[0] + stop_line("08-10-12") +
                     rows[1] + header("08-10-13", "08-30-00", "SN-0042");
  Events row_events;
  for (const std::string& event : parse(text)) {
    if (event.rfind("row@", 0) == 0) row_events.push_back(event);
  }
  ASSERT_EQ(row_events.size(), rows.size());
  for (std::size_t length = 0; length <= text.size(); ++length) {
    Events expected;
    Events got;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      // Complete once its last digit is there; its line end may be missing.
      if (text.find(rows[i]) + rows[i].size() - 1 <= length) expected.push_back(row_events[i]);
    }
    for (const std::string& event : parse(text.substr(0, length))) {
      if (event.rfind("row@", 0) == 0) got.push_back(event);
    }
    EXPECT_EQ(got, expected) << "prefix of " << length << " bytes";
  }
}

}  // namespace
}  // namespace kestrel::report
