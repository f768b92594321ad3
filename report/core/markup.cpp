#include "report/core/markup.h"

namespace kestrel::report {

namespace {

// <name a="v" ..., without its end.
std::string open(std::string_view name, Attributes attributes) {
  std::string tag = "<" + std::string(name);
  for (const Attribute& attribute : attributes) {
    tag.append(" ").append(attribute.name).append("=\"");
    tag.append(escape_xml(attribute.value)).append("\"");
  }
  return tag;
}

}  // namespace

std::string escape_xml(std::string_view text) {
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

std::string start_tag(std::string_view name, Attributes attributes) {
  return open(name, attributes) + ">";
}

std::string empty_element(std::string_view name, Attributes attributes) {
  return open(name, attributes) + "/>";
}

std::string element(std::string_view name, Attributes attributes, std::string_view inner) {
  return start_tag(name, attributes).append(inner).append("</").append(name).append(">");
}

std::string text_element(std::string_view name, Attributes attributes, std::string_view text) {
  return element(name, attributes, escape_xml(text));
}

}  // namespace kestrel::report
