// Where an output file's text goes: a file for the command, the page for the browser, or a
// string.
#pragma once

#include <string>
#include <string_view>

namespace kestrel::report {

class TextSink {
 public:
  virtual ~TextSink() = default;
  virtual void write(std::string_view text) = 0;
};

struct StringSink : TextSink {
  void write(std::string_view more) override { text += more; }
  std::string text;
};

}  // namespace kestrel::report
