// Where an output file's text goes: a file for the command, the page for the browser.
#pragma once

#include <string_view>

namespace kestrel::report {

class TextSink {
 public:
  virtual ~TextSink() = default;
  virtual void write(std::string_view text) = 0;
};

}  // namespace kestrel::report
