// Texts as an editor saves them: every LF of the logger's records turned into
// another line end (CR LF, or a lone CR).
#pragma once

#include <string>

namespace kestrel::testing {

inline std::string with_line_ends(const std::string& text, const std::string& line_end) {
  std::string saved;
  for (char c : text) {
    if (c == '\n') {
      saved += line_end;
    } else {
      saved += c;
    }
  }
  return saved;
}

}  // namespace kestrel::testing
