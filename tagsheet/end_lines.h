// The lines at the end of a tagsheet, walked back from its last byte. LF,
// CR LF and a lone CR each end a line; a byte-order mark before the file's
// first line is no part of it.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrel {

// [start, end) is a line's text, `end` also where its line end begins.
struct TextLine {
  std::size_t start = 0;
  std::size_t end = 0;
};

class EndLines {
 public:
  // Thrown for a line whose start lies before the text.
  struct NotReached {};

  // `text` is the end of a file; `starts_file` says it is the whole file.
  EndLines(std::string_view text, bool starts_file);

  // After the last line end: empty when the text ends with one.
  TextLine last() const;
  bool first(const TextLine& line) const { return line.start == first_start_; }
  // The line before `line`, which is not the first.
  TextLine before(const TextLine& line) const;
  std::string_view text(const TextLine& line) const {
    return text_.substr(line.start, line.end - line.start);
  }

 private:
  TextLine line_ending_at(std::size_t end) const;

  std::string_view text_;
  std::size_t first_start_;  // npos when the text does not begin the file
};

}  // namespace kestrel
