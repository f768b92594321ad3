#include "platform/block_link.h"

#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace kestrel {

bool BlockLink::byte_waiting() {
  if (next_ < end_) return true;
  check_signals_();
  if (::ioctl(fd_, TIOCINQ, &waiting_) != 0) return fallback_.byte_waiting();
  if (waiting_ > 0) return true;
  ::sched_yield();
  return false;
}

std::uint8_t BlockLink::read_byte() {
  if (next_ == end_) {
    const std::size_t wanted = std::clamp<std::size_t>(waiting_, 1, block_.size());
    const ssize_t got = ::read(fd_, block_.data(), wanted);
    if (got <= 0) return fallback_.read_byte();
    next_ = 0;
    end_ = static_cast<std::size_t>(got);
  }
  return block_[next_++];
}

}  // namespace kestrel
