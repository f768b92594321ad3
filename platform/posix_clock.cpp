#include "platform/posix_clock.h"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <ctime>

#include "platform/errors.h"

namespace kestrel {
namespace {

std::string format(const struct tm& local, const char* pattern) {
  char text[32];
  std::size_t length = std::strftime(text, sizeof text, pattern, &local);
  return std::string(text, length);
}

}  // namespace

PosixClock::PosixClock(std::function<void()> check_interrupts)
    : check_interrupts_(std::move(check_interrupts)) {
  ::tzset();
}

Stamp local_stamp(long long seconds) {
  const time_t reading = static_cast<time_t>(seconds);
  struct tm local {};
  if (::localtime_r(&reading, &local) == nullptr) throw OsError(EOVERFLOW, "localtime");
  return {format(local, "%d-%m-%Y"), format(local, "%H-%M-%S")};
}

// The fraction of the second is dropped, as local-time conversion does.
Stamp PosixClock::now() {
  struct timespec reading {};
  ::clock_gettime(CLOCK_REALTIME, &reading);
  return local_stamp(reading.tv_sec);
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
