// HTML and SVG markup with every text and attribute value escaped on its way in, so that a
// serial number or a file name from a stick is only ever text on the page.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace kestrel::report {

// &, <, > and " as entities: safe as text and as a quoted attribute value.
inline std::string escape_xml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char& c : text) {
    out += c == '&'   ? "&amp;"
           : c == '<' ? "&lt;"
           : c == '>' ? "&gt;"
           : c == '"' ? "&quot;"
                      : std::string_view(&c, 1);
  }
  return out;
}

struct Attribute {
  std::string_view name;
  std::string value;  // as it reads: escaped when written
};
using Attributes = std::initializer_list<Attribute>;

// <name a="v" ..., to end as a start tag or an empty element.
inline std::string open_tag(std::string_view name, Attributes attributes) {
  std::string tag = "<" + std::string(name);
  for (const Attribute& attribute : attributes) {
    tag.append(" ").append(attribute.name).append("=\"");
    tag.append(escape_xml(attribute.value)).append("\"");
  }
  return tag;
}

// <name a="v" ...>
inline std::string start_tag(std::string_view name, Attributes attributes) {
  return open_tag(name, attributes) + ">";
}

// <name a="v" .../>
inline std::string empty_element(std::string_view name, Attributes attributes) {
  return open_tag(name, attributes) + "/>";
}

// <name a="v" ...>inner</name>, inner being markup already.
inline std::string element(std::string_view name, Attributes attributes, std::string_view inner) {
  return start_tag(name, attributes).append(inner).append("</").append(name).append(">");
}

// <name a="v" ...>text</name>, text escaped.
inline std::string text_element(std::string_view name, Attributes attributes,
                                std::string_view text) {
  return element(name, attributes, escape_xml(text));
}

}  // namespace kestrel::report
