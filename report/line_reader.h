// Splits a file into lines through one fixed buffer, so memory stays flat however large
// the file is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::report {

struct Line {
  std::string_view text;  // without its line end; valid until the next call
  bool ended = true;      // false for a last line without a line end
  bool too_long = false;  // text holds only the first max_line bytes
};

class LineReader {
 public:
  static constexpr size_t max_line = 64 * 1024;

  // Throws std::system_error when the file cannot be opened.
  explicit LineReader(const std::string& path, size_t buffer_size = 1 << 20);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // False at the end of the file. Throws std::system_error on a read error.
  bool next(Line& line);
  uint64_t bytes_read() const { return bytes_read_; }

 private:
  bool fill();
  void keep(std::string_view piece);

  int fd_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  std::string carry_;  // a line that runs over the end of the buffer
  bool carry_too_long_ = false;
  uint64_t bytes_read_ = 0;
};

}  // namespace kestrel::report
