#include "report/line_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace kestrel::report {

LineReader::LineReader(const std::string& path, size_t buffer_size)
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
  begin_ = 0;
  end_ = static_cast<size_t>(got);
  bytes_read_ += end_;
  return got > 0;
}

void LineReader::keep(std::string_view piece) {
  size_t room = max_line - carry_.size();
  if (piece.size() > room) carry_too_long_ = true;
  carry_.append(piece.substr(0, room));
}

bool LineReader::next(Line& line) {
  carry_.clear();
  carry_too_long_ = false;
  bool carrying = false;
  while (true) {
    if (begin_ == end_ && !fill()) {
      if (!carrying) return false;
      line = Line{carry_, false, carry_too_long_};
      return true;
    }
    const char* start = buffer_.data() + begin_;
    const void* found = std::memchr(start, '\n', end_ - begin_);
    size_t length =
        found ? static_cast<size_t>(static_cast<const char*>(found) - start) : end_ - begin_;
    begin_ += length + (found ? 1 : 0);
    if (found && !carrying) {
      bool too_long = length > max_line;
      line = Line{std::string_view(start, too_long ? max_line : length), true, too_long};
      return true;
    }
    keep(std::string_view(start, length));
    carrying = true;
    if (found) {
      line = Line{carry_, true, carry_too_long_};
      return true;
    }
  }
}

}  // namespace kestrel::report
