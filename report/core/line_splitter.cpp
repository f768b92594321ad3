#include "report/core/line_splitter.h"

#include <cstring>

namespace kestrel::report {

void LineSplitter::forget_returned_line() {
  if (carry_returned_) {
    carry_.clear();
    carrying_ = false;
    carry_too_long_ = false;
    carry_returned_ = false;
  }
}

void LineSplitter::keep(std::string_view part) {
  std::size_t room = max_line - carry_.size();
  if (part.size() > room) {
    carry_too_long_ = true;
  }
  carry_.append(part.substr(0, room));
  carrying_ = true;
}

bool LineSplitter::next(Line& line) {
  forget_returned_line();
  if (piece_.empty()) {
    return false;
  }
  const void* found = std::memchr(piece_.data(), '\n', piece_.size());
  std::size_t length =
      found ? static_cast<std::size_t>(static_cast<const char*>(found) - piece_.data())
            : piece_.size();
  std::string_view text = piece_.substr(0, length);
  piece_.remove_prefix(found ? length + 1 : length);
  if (found && !carrying_) {
    line = Line{text.substr(0, max_line), true, text.size() > max_line};
    return true;
  }
  keep(text);
  if (!found) {
    return false;
  }
  line = Line{carry_, true, carry_too_long_};
  carry_returned_ = true;
  return true;
}

bool LineSplitter::finish(Line& line) {
  forget_returned_line();
  if (!carrying_) {
    return false;
  }
  line = Line{carry_, false, carry_too_long_};
  carry_returned_ = true;
  return true;
}

}  // namespace kestrel::report
