#include "platform/block_link.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/errors.h"
#include "platform/timed_poll.h"

namespace kestrel {
namespace {

// Holds every signal back while it lives, and hands ppoll the mask to sleep
// with. A signal that comes after the last check and before the sleep then
// ends the sleep at once instead of waiting for the next byte.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &before_);
  }
  ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
  const sigset_t* mask_while_asleep() const { return &before_; }

 private:
  sigset_t before_;
};

}  // namespace

bool BlockLink::byte_waiting() {
  if (next_ < end_) return true;
  check_signals_();
  if (::ioctl(fd_, TIOCINQ, &waiting_) != 0) return fallback_.byte_waiting();
  const int due_in_ms = idle_.run_due();
  if (waiting_ > 0) {
    watch_.heard();
    return true;
  }
  if (sleep_until_input(earliest(due_in_ms, watch_.due_in_ms()))) {
    return fallback_.byte_waiting();
  }
  return false;
}

bool BlockLink::sleep_until_input(int timeout_ms) {
  SignalsHeld held;
  check_signals_();  // one that came since the check above; a later one ends the sleep
  pollfd wakers[] = {{fd_, POLLIN, 0}, {watch_.descriptor(), POLLIN, 0}};
  const timespec timeout{timeout_ms / 1000, timeout_ms % 1000 * 1000000L};
  const nfds_t count = wakers[1].fd < 0 ? 1 : 2;
  if (timed_poll(wakers, count, timeout_ms < 0 ? nullptr : &timeout, held.mask_while_asleep()) <
      0) {
    if (errno == EINTR) return false;
    throw OsError(errno, "ppoll");
  }
  if (wakers[1].revents != 0) watch_.take_changes();
  return (wakers[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
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
