// Splits a file into lines through one fixed buffer, so memory stays flat however large
// the file is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/core/line_splitter.h"

namespace kestrel::report {

class LineReader {
 public:
  static constexpr std::size_t max_line = LineSplitter::max_line;

  // Throws std::system_error when the file cannot be opened.
  explicit LineReader(const std::string& path, std::size_t buffer_size = 1 << 20);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // False at the end of the file. Throws std::system_error on a read error.
  bool next(Line& line);
  std::uint64_t bytes_read() const { return bytes_read_; }

 private:
  bool fill();

  int fd_;
  std::vector<char> buffer_;
  LineSplitter splitter_;
  std::uint64_t bytes_read_ = 0;
};

}  // namespace kestrel::report
