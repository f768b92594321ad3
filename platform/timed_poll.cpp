#include "platform/timed_poll.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace kestrel {

int timed_poll(pollfd* descriptors, nfds_t count, const timespec* timeout, const sigset_t* mask) {
#ifdef SYS_ppoll_time64
  if constexpr (sizeof(time_t) == 8) {
    // The kernel's signal set is _NSIG bits, not the 1024 of glibc's.
    return static_cast<int>(
        ::syscall(SYS_ppoll_time64, descriptors, count, timeout, mask, _NSIG / 8));
  }
#endif
  return ::ppoll(descriptors, count, timeout, mask);
}

}  // namespace kestrel
