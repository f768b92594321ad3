#include "shutdown/shell_quote.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace kestrel {
namespace {

bool is_safe(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte != 0 && byte < 0x80 &&
         (std::isalnum(byte) || std::strchr("@%+=:,./_-", c) != nullptr);
}

}  // namespace

std::string shell_quote(std::string_view word) {
  if (!word.empty() && std::all_of(word.begin(), word.end(), is_safe)) return std::string(word);
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\"'\"'";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

}  // namespace kestrel
