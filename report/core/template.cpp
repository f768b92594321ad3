#include "report/core/template.h"

namespace kestrel::report {

namespace {

constexpr char marker = '@';

// The value of the marker that begins text, if one of values does.
const Placeholder* marker_at(std::string_view text, Placeholders values) {
  for (const Placeholder& value : values) {
    std::size_t end = value.name.size() + 1;
    if (text.size() > end && text[end] == marker &&
        text.substr(1, value.name.size()) == value.name) {
      return &value;
    }
  }
  return nullptr;
}

class StringSink : public TextSink {
 public:
  void write(std::string_view more) override { text.append(more); }
  std::string text;
};

}  // namespace

void fill(TextSink& out, std::string_view text, Placeholders values) {
  for (std::size_t at = text.find(marker); at != std::string_view::npos; at = text.find(marker)) {
    out.write(text.substr(0, at));
    text.remove_prefix(at);
    const Placeholder* value = marker_at(text, values);
    std::size_t skip = value != nullptr ? value->name.size() + 2 : 1;
    out.write(value != nullptr ? value->value : text.substr(0, 1));
    text.remove_prefix(skip);
  }
  out.write(text);
}

std::string fill(std::string_view text, Placeholders values) {
  StringSink out;
  fill(out, text, values);
  return std::move(out.text);
}

}  // namespace kestrel::report
