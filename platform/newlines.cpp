#include "platform/newlines.h"

namespace kestrel {

std::string to_universal_newlines(std::string_view raw) {
  std::string text;
  text.reserve(raw.size());
  for (std::size_t k = 0; k < raw.size(); ++k) {
    if (raw[k] != '\r') {
      text += raw[k];
      continue;
    }
    text += '\n';
    if (k + 1 < raw.size() && raw[k + 1] == '\n') ++k;
  }
  return text;
}

}  // namespace kestrel
