#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kestrel {

// Owns a file descriptor and closes it once. Closing it on the way out of a
// scope leaves errno as the failure being reported set it.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ < 0) return;
    const int code = errno;
    ::close(fd_);
    errno = code;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports close()'s own result (0 or -1 with errno).
  int close() { return fd_ < 0 ? 0 : ::close(std::exchange(fd_, -1)); }

 private:
  int fd_ = -1;
};

}  // namespace kestrel
