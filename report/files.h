// The command's files: the tagsheets found below a folder, each read through one fixed
// buffer, and the outputs written through a large one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "report/core/tagsheet_names.h"
#include "report/core/text_sink.h"

namespace kestrel::report {

struct FoundTagsheets {
  std::vector<TagsheetFile> files;  // in the order of reading_order()
  std::uint64_t unreadable_folders = 0;
};

// Every Non-Tag-*.txt below folder, in date order. Throws std::filesystem::filesystem_error
// when the folder itself cannot be read. A folder below it that cannot be read (or not to its
// end) is skipped with a note on problems, and the search goes on. A tagsheet whose type
// cannot be read is found, for its reader to say why it cannot be opened. Links to folders
// are not followed.
FoundTagsheets find_tagsheets(const std::string& folder, std::FILE* problems);

// Hands the file's bytes to take in pieces of at most buffer_size, so that memory stays flat
// however large the file is. Throws std::system_error when it cannot be opened or read.
void read_file(const std::string& path, const std::function<void(std::string_view)>& take,
               std::size_t buffer_size = 1 << 20);

// A file written through a large buffer; every failure, including at close, throws.
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
