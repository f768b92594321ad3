#include "tagsheet/end_lines.h"

#include "tagsheet/format.h"

namespace kestrel {

EndLines::EndLines(std::string_view text, bool starts_file)
    : text_(text), first_start_(std::string_view::npos) {
  if (starts_file) {
    const std::string_view mark = tagsheet::byte_order_mark;
    first_start_ = text.substr(0, mark.size()) == mark ? mark.size() : 0;
  }
}

TextLine EndLines::last() const { return line_ending_at(text_.size()); }

TextLine EndLines::before(const TextLine& line) const {
  std::size_t end = line.start - 1;
  if (text_[end] == '\n' && end > 0 && text_[end - 1] == '\r') --end;
  return line_ending_at(end);
}

TextLine EndLines::line_ending_at(std::size_t end) const {
  const std::size_t line_end = text_.substr(0, end).find_last_of("\r\n");
  if (line_end != std::string_view::npos) return TextLine{line_end + 1, end};
  if (first_start_ == std::string_view::npos) throw NotReached{};
  return TextLine{first_start_, end};
}

}  // namespace kestrel
