// A file written through a large buffer; every failure, including at close, throws.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "report/core/text_sink.h"

namespace kestrel::report {

class OutputFile : public TextSink {
 public:
  explicit OutputFile(std::string path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void write(std::string_view text) override;
  // Flushes and closes; throws std::system_error if anything was not written.
  void close();

 private:
  [[noreturn]] void fail(const char* what);

  std::string path_;
  std::FILE* file_;
};

}  // namespace kestrel::report
