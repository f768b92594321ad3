#include "report/line_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kestrel::report {

LineReader::LineReader(const std::string& path, std::size_t buffer_size)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), buffer_(buffer_size) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot open");
#ifdef POSIX_FADV_SEQUENTIAL
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

LineReader::~LineReader() { ::close(fd_); }

bool LineReader::fill() {
  ssize_t got;
  do {
    got = ::read(fd_, buffer_.data(), buffer_.size());
  } while (got < 0 && errno == EINTR);
  if (got < 0) throw std::system_error(errno, std::generic_category(), "cannot read");
  bytes_read_ += static_cast<std::size_t>(got);
  splitter_.add(std::string_view(buffer_.data(), static_cast<std::size_t>(got)));
  return got > 0;
}

bool LineReader::next(Line& line) {
  while (!splitter_.next(line)) {
    if (!fill()) {
      return splitter_.finish(line);
    }
  }
  return true;
}

}  // namespace kestrel::report
