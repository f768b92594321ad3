// Fills the page's templates (report/core/templates/), built into the program: text with
// markers @NAME@ that stand for parts the report makes.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>

#include "report/core/text_sink.h"

namespace kestrel::report {

struct Placeholder {
  std::string_view name;  // NAME, for the marker @NAME@
  std::string_view value;
};
using Placeholders = std::initializer_list<Placeholder>;

// Writes text to out with each marker of values replaced by its value as it is: values are
// never searched for markers. An @ that begins no marker of values stays.
inline void fill(TextSink& out, std::string_view text, Placeholders values) {
  for (std::size_t at = text.find('@'); at != std::string_view::npos; at = text.find('@')) {
    out.write(text.substr(0, at));
    text.remove_prefix(at);
    auto found = std::find_if(values.begin(), values.end(), [text](const Placeholder& value) {
      std::size_t end = value.name.size() + 1;  // where the marker's second @ stands
      return text.size() > end && text[end] == '@' &&
             text.substr(1, value.name.size()) == value.name;
    });
    bool marker = found != values.end();
    out.write(marker ? found->value : "@");
    text.remove_prefix(marker ? found->name.size() + 2 : 1);
  }
  out.write(text);
}

inline std::string fill(std::string_view text, Placeholders values) {
  StringSink out;
  fill(out, text, values);
  return std::move(out.text);
}

}  // namespace kestrel::report
