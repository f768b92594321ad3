#include "report/core/parser.h"

#include <algorithm>

#include "tagsheet/format.h"

namespace kestrel::report {

namespace {

using tagsheet::max_extra_header_lines;
using tagsheet::serial_label;
using tagsheet::start_label;
using tagsheet::stop_label;
using tagsheet::title_line;

// The empty lines between a header's first line and its start time.
constexpr std::size_t header_gap_lines = tagsheet::header_gap.size() - 1;

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

void TagsheetParser::feed(std::string_view piece) {
  // At most one byte more than a record can have: enough to tell that the line is too long.
  auto keep = [this](std::string_view part) {
    carry_.append(part.substr(0, max_line + 1 - carry_.size()));
  };
  for (std::size_t end = piece.find('\n'); end != std::string_view::npos; end = piece.find('\n')) {
    if (carry_.empty()) {
      line(piece.substr(0, end), true);
    } else {
      keep(piece.substr(0, end));
      line(carry_, true);
      carry_.clear();
    }
    piece.remove_prefix(end + 1);
  }
  keep(piece);
}

void TagsheetParser::line(std::string_view text, bool ended) {
  if (text.size() > max_line) {
    cut_short();
    sink_.problem(++line_, "line too long for a tagsheet record");
    return;
  }
  if (++line_ == 1 && starts_with(text, tagsheet::byte_order_mark)) {
    text.remove_prefix(tagsheet::byte_order_mark.size());
  }
  switch (state_) {
    case State::body:
      body_line(text, ended);
      break;
    case State::after_blank:
      state_ = State::body;
      if (starts_with(text, stop_label)) {
        stop_line(text.substr(stop_label.size()));
      } else {
        sink_.problem(line_ - 1, "empty line outside a header");
        body_line(text, ended);
      }
      break;
    case State::header_gap:
      header_gap_line(text, ended);
      break;
    case State::header_serial:
      if (starts_with(text, serial_label)) {
        header_.serial = text.substr(serial_label.size());
        state_ = State::header_serial_rest;
      } else {
        abandon_header(text, ended);
      }
      break;
    case State::header_serial_rest:
      header_serial_rest_line(text, ended);
      break;
  }
}

void TagsheetParser::body_line(std::string_view text, bool ended) {
  if (auto row = parse_row(text)) {
    sink_.row(*row, line_);  // a last row without its line end still holds all its text
  } else if (text.empty() && ended) {
    state_ = State::after_blank;  // the line end that begins a stop line
  } else if (starts_with(text, stop_label)) {
    begin_header(text.substr(stop_label.size()));
  } else if (std::size_t label = text.find(stop_label); label != std::string_view::npos) {
    // A record cut short (power lost while writing) continued by the next start's header.
    static const std::string cut_short =
        "record cut short before \"" + std::string(stop_label) + '"';
    sink_.problem(line_, cut_short);
    begin_header(text.substr(label + stop_label.size()));
  } else {
    sink_.problem(line_, ended ? "not a tagsheet record" : "last line cut short");
  }
}

void TagsheetParser::stop_line(std::string_view value) {
  // Nothing ends a stop line: the next header or row continues it.
  if (std::size_t label = value.find(stop_label); label != std::string_view::npos) {
    sink_.stop(value.substr(0, label), line_);
    begin_header(value.substr(label + stop_label.size()));
  } else if (std::size_t row = trailing_row_start(value); row != std::string_view::npos) {
    sink_.stop(value.substr(0, row), line_);
    sink_.row(*parse_row(value.substr(row)), line_);
  } else {
    sink_.stop(value, line_);
  }
}

void TagsheetParser::begin_header(std::string_view last_seen) {
  header_ = Header{std::string(last_seen), {}, {}, line_};
  extra_lines_.clear();
  state_ = State::header_gap;
}

bool TagsheetParser::collect(std::string_view text) {
  if (extra_lines_.size() == max_extra_header_lines || parse_row(text) ||
      starts_with(text, stop_label)) {
    return false;
  }
  extra_lines_.emplace_back(text);
  return true;
}

void TagsheetParser::header_gap_line(std::string_view text, bool ended) {
  if (!starts_with(text, start_label)) {
    if (!ended || !collect(text)) abandon_header(text, ended);
    return;
  }
  // Between the first piece and the start time: the last-seen text's own lines, then the
  // empty lines of the header.
  std::size_t own =
      extra_lines_.size() < header_gap_lines ? 0 : extra_lines_.size() - header_gap_lines;
  bool gap_ok = extra_lines_.size() >= header_gap_lines &&
                std::all_of(extra_lines_.begin() + own, extra_lines_.end(),
                            [](const std::string& line) { return line.empty(); });
  if (!gap_ok) sink_.problem(header_.line, "header without its two empty lines");
  for (std::size_t i = 0; gap_ok && i < own; ++i) header_.last_seen += "\n" + extra_lines_[i];
  header_.start_time = text.substr(start_label.size());
  extra_lines_.clear();
  state_ = State::header_serial;
}

void TagsheetParser::header_serial_rest_line(std::string_view text, bool ended) {
  if (text == title_line) {
    for (const std::string& own : extra_lines_) header_.serial += "\n" + own;
    state_ = State::body;
    sink_.header(header_);
  } else if (!ended || !collect(text)) {
    abandon_header(text, ended);
  }
}

void TagsheetParser::abandon_header(std::string_view text, bool ended) {
  sink_.problem(header_.line, "header cut short");
  state_ = State::body;
  if (ended) body_line(text, ended);  // else text is the cut end of this header
}

void TagsheetParser::finish() {
  if (!carry_.empty()) line(carry_, false);
  carry_.clear();
  cut_short();
}

void TagsheetParser::cut_short() {
  if (state_ == State::after_blank) {
    sink_.problem(line_, "stop line cut short");
  } else if (state_ != State::body) {
    sink_.problem(header_.line, "header cut short");
  }
  state_ = State::body;
}

}  // namespace kestrel::report
