// HTML and SVG markup with every text and attribute value escaped on its way in, so that a
// serial number or a file name from a stick is only ever text on the page.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace kestrel::report {

// &, <, > and " as entities: safe as text and as a quoted attribute value.
std::string escape_xml(std::string_view text);

struct Attribute {
  std::string_view name;
  std::string value;  // as it reads: escaped when written
};
using Attributes = std::initializer_list<Attribute>;

// <name a="v" ...>
std::string start_tag(std::string_view name, Attributes attributes);
// <name a="v" .../>
std::string empty_element(std::string_view name, Attributes attributes);
// <name a="v" ...>inner</name>, inner being markup already.
std::string element(std::string_view name, Attributes attributes, std::string_view inner);
// <name a="v" ...>text</name>, text escaped.
std::string text_element(std::string_view name, Attributes attributes, std::string_view text);

}  // namespace kestrel::report
