// Fills the page's templates (report/core/templates/), built into the program: text with
// markers @NAME@ that stand for parts the report makes.
#pragma once

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
void fill(TextSink& out, std::string_view text, Placeholders values);
std::string fill(std::string_view text, Placeholders values);

}  // namespace kestrel::report
