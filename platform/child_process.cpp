#include "platform/child_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>

#include "platform/errors.h"
#include "platform/timed_poll.h"

namespace kestrel {
namespace {

using Clock = ChildProcess::Clock;

// Without a pidfd (kernels before 5.3) the wait looks this often.
constexpr std::chrono::milliseconds look_again{100};

// glibc 2.36 declares pidfd_open without C linkage for C++.
int pidfd_of(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int status_of(int raw) { return WIFSIGNALED(raw) ? -WTERMSIG(raw) : WEXITSTATUS(raw); }

timespec timespec_of(Clock::duration left) {
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  return timespec{static_cast<time_t>(nanoseconds / 1000000000),
                  static_cast<long>(nanoseconds % 1000000000)};
}

}  // namespace

bool wait_readable(int descriptor, Clock::time_point deadline,
                   const std::function<void()>& check_interrupts) {
  for (;;) {
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    const timespec timeout = timespec_of(left);
    pollfd entry{descriptor, POLLIN, 0};
    const int ready = timed_poll(&entry, descriptor < 0 ? 0 : 1, &timeout, nullptr);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) throw OsError(errno, "ppoll");
    if (ready < 0) check_interrupts();
  }
}

ChildProcess::ChildProcess(pid_t pid, std::function<void()> check_interrupts, Clock::duration grace)
    : pid_(pid),
      pidfd_(pidfd_of(pid)),
      started_(Clock::now()),
      check_interrupts_(std::move(check_interrupts)),
      grace_(grace) {}

ChildProcess::~ChildProcess() {
  if (!done_with_) ::kill(-pid_, SIGTERM);
}

std::optional<int> ChildProcess::wait_until(Clock::time_point deadline) {
  for (;;) {
    int raw = 0;
    const pid_t ended = ::waitpid(pid_, &raw, WNOHANG);
    if (ended == pid_) {
      done_with_ = true;
      return status_of(raw);
    }
    if (ended < 0 && errno != EINTR) throw OsError(errno, "waitpid");
    if (Clock::now() >= deadline) return std::nullopt;
    wait_readable(pidfd_.get(),
                  pidfd_.valid() ? deadline : std::min(deadline, Clock::now() + look_again),
                  check_interrupts_);
  }
}

std::optional<int> ChildProcess::wait_at_most(Clock::duration limit) {
  if (std::optional<int> status = wait_until(started_ + limit)) return status;
  end_group();
  return std::nullopt;
}

// The shell may have started the command as a child of its own rather than
// in its place: the group is gone only once the last of it has ended.
bool ChildProcess::group_gone_by(Clock::time_point deadline) {
  for (;;) {
    const bool leader_ended =
        done_with_ || wait_until(std::min(deadline, Clock::now() + look_again));
    if (leader_ended && ::kill(-pid_, 0) != 0 && errno == ESRCH) return true;
    if (Clock::now() >= deadline) return false;
    if (leader_ended) {
      wait_readable(-1, std::min(deadline, Clock::now() + look_again), check_interrupts_);
    }
  }
}

void ChildProcess::end_group() {
  for (const int signal : {SIGTERM, SIGKILL}) {
    ::kill(-pid_, signal);
    if (group_gone_by(Clock::now() + grace_)) return;
  }
  done_with_ = true;  // stuck beyond SIGKILL: left behind
}

}  // namespace kestrel
