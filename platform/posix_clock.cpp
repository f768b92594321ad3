#include "platform/posix_clock.h"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <ctime>

#include "platform/errors.h"

namespace kestrel {
PosixClock::PosixClock(std::function<void()> check_interrupts)
    : check_interrupts_(std::move(check_interrupts)) {
  ::tzset();
}

LocalTime local_time(long long seconds) {
  const time_t reading = static_cast<time_t>(seconds);
  struct tm local {};
  if (::localtime_r(&reading, &local) == nullptr) throw OsError(EOVERFLOW, "localtime");
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     local.tm_sec};
}

// The fraction of the second is dropped, as local-time conversion does.
LocalTime PosixClock::now() {
  struct timespec reading {};
  ::clock_gettime(CLOCK_REALTIME, &reading);
  return local_time(reading.tv_sec);
}

void PosixClock::sleep(double seconds) {
  struct timespec left {};
  left.tv_sec = static_cast<time_t>(seconds);
  left.tv_nsec = static_cast<long>(std::fmod(seconds, 1.0) * 1e9);
  while (::nanosleep(&left, &left) != 0) {
    if (errno != EINTR) throw OsError(errno, "nanosleep");
    check_interrupts_();
  }
}

}  // namespace kestrel
