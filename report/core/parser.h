// Reads the records of one tagsheet as the logger appends them: headers, rows and stop lines,
// including a stop line joined to the next header or row. The text comes in pieces of any
// size (one fixed buffer for the command, slices for the page) and reads the same wherever
// it is cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/core/fields.h"

namespace kestrel::report {

struct Header {
  std::string last_seen;   // the previous run's last-seen text, as written
  std::string start_time;  // as written, normally HH-MM-SS
  std::string serial;      // as written, with any line end it holds
  std::uint64_t line = 0;  // line of the header's first piece
};

class RecordSink {
 public:
  virtual ~RecordSink() = default;
  virtual void header(const Header& header) = 0;
  virtual void row(const Row& row, std::uint64_t line) = 0;
  virtual void stop(std::string_view text, std::uint64_t line) = 0;
  // A line that is no record, or a record cut short; it is skipped.
  virtual void problem(std::uint64_t line, std::string_view what) = 0;
};

class TagsheetParser {
 public:
  // A longer line is no record: it is skipped, and no more of it kept.
  static constexpr std::size_t max_line = 64 * 1024;

  explicit TagsheetParser(RecordSink& sink) : sink_(sink) {}
  // The next piece of the text. A byte-order mark before the first line is dropped.
  void feed(std::string_view piece);
  // End of the file: reads a last line without a line end and reports a record left
  // unfinished.
  void finish();

 private:
  enum class State { body, after_blank, header_gap, header_serial, header_serial_rest };

  // A whole line without its line end; ended says whether it had one.
  void line(std::string_view text, bool ended);
  // Reports the record a line too long or the end of the file cuts short.
  void cut_short();
  void body_line(std::string_view text, bool ended);
  void stop_line(std::string_view value);
  void begin_header(std::string_view last_seen);
  void header_gap_line(std::string_view text, bool ended);
  void header_serial_rest_line(std::string_view text, bool ended);
  // Drops the unfinished header and reads text again as an ordinary line.
  void abandon_header(std::string_view text, bool ended);
  bool collect(std::string_view text);

  RecordSink& sink_;
  State state_ = State::body;
  std::uint64_t line_ = 0;
  Header header_;
  std::vector<std::string> extra_lines_;  // header lines between its fixed pieces
  std::string carry_;                     // the start of a line that runs over the end of a piece
};

}  // namespace kestrel::report
