#include "report/output_file.h"

#include <cerrno>
#include <system_error>

namespace kestrel::report {

namespace {
constexpr std::size_t buffer_size = 1 << 20;
}

OutputFile::OutputFile(std::string path)
    : path_(std::move(path)), file_(std::fopen(path_.c_str(), "wb")) {
  if (file_ == nullptr) fail("cannot create");
  std::setvbuf(file_, nullptr, _IOFBF, buffer_size);
}

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

void OutputFile::write(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) fail("cannot write");
}

void OutputFile::close() {
  bool failed = std::ferror(file_) != 0;
  failed = std::fclose(file_) != 0 || failed;
  file_ = nullptr;
  if (failed) fail("cannot write");
}

void OutputFile::fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), std::string(what) + " " + path_);
}

}  // namespace kestrel::report
