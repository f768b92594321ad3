// Splits a text handed over in pieces into lines, so a file can be read through one fixed
// buffer (the command) or in slices (the page) with the same result.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel::report {

struct Line {
  std::string_view text;  // without its line end; valid until the next call
  bool ended = true;      // false for a last line without a line end
  bool too_long = false;  // text holds only the first max_line bytes
};

class LineSplitter {
 public:
  static constexpr std::size_t max_line = 64 * 1024;

  // The next piece of the text; it must stay valid until next() returns false.
  void add(std::string_view piece) { piece_ = piece; }
  // The next line that ends in the pieces so far; false once the piece is used up (a line
  // that runs over its end is kept for the next piece).
  bool next(Line& line);
  // After the last piece: the last line when the text does not end with a line end.
  bool finish(Line& line);

 private:
  void forget_returned_line();
  void keep(std::string_view part);

  std::string_view piece_;
  std::string carry_;  // a line that runs over the end of a piece
  bool carrying_ = false;
  bool carry_too_long_ = false;
  bool carry_returned_ = false;
};

}  // namespace kestrel::report
