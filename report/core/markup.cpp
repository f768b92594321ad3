#include "report/core/markup.h"

namespace kestrel::report {

namespace {

std::string open(std::string_view name, Attributes attributes) {
  std::string tag = "<" + std::string(name);
  for (const Attribute& attribute : attributes) {
    tag.append(" ").append(attribute.name).append("=\"");
    tag.append(escape_xml(attribute.value)).append("\"");
  }
  return tag;
}

std::string end_tag(std::string_view name) { return "</" + std::string(name) + ">"; }

}  // namespace

std::string escape_xml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
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
  return start_tag(name, attributes).append(inner) + end_tag(name);
}

std::string text_element(std::string_view name, Attributes attributes, std::string_view text) {
  return element(name, attributes, escape_xml(text));
}

}  // namespace kestrel::report
