#include "tagsheet/bytes_literal.h"

namespace kestrel {

std::string bytes_literal(std::string_view bytes) {
  const bool double_quoted =
      bytes.find('\'') != std::string_view::npos && bytes.find('"') == std::string_view::npos;
  const char quote = double_quoted ? '"' : '\'';
  static constexpr char hex[] = "0123456789abcdef";

  std::string text = "b";
  text += quote;
  for (char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == quote || c == '\\') {
      text += '\\';
      text += c;
    } else if (c == '\t') {
      text += "\\t";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\r') {
      text += "\\r";
    } else if (byte < 0x20 || byte >= 0x7f) {
      text += "\\x";
      text += hex[byte >> 4];
      text += hex[byte & 0x0f];
    } else {
      text += c;
    }
  }
  text += quote;
  return text;
}

}  // namespace kestrel
