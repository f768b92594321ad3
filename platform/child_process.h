// A child process the program waits for, with a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>

#include "platform/fd.h"

namespace kestrel {

// Owns a started child that leads a process group of its own. Waits for it up
// to a deadline, and ends it with its group when it outlives it: SIGTERM
// first (sudo hands it on to the command it runs as root), SIGKILL after a
// grace time. A child that not even SIGKILL ends (a process stuck in the
// kernel on a device that stopped answering) is left behind, unreaped.
class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds default_grace{5};

  // check_interrupts runs when a signal interrupts a wait; it may throw.
  ChildProcess(pid_t pid, std::function<void()> check_interrupts,
               Clock::duration grace = default_grace);
  // A child still running when its owner gives up on it (a failure, Ctrl-C)
  // is asked to end (SIGTERM to its group), without a wait.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The exit status (the negative signal number when a signal ended it) once
  // the child has ended; nothing when it still runs at `deadline`.
  std::optional<int> wait_until(Clock::time_point deadline);
  // Waits until `limit` has passed since the start; then ends the group. The
  // status, or nothing when it had to be ended.
  std::optional<int> wait_at_most(Clock::duration limit);
  // Ends the group: SIGTERM, then SIGKILL, each given the grace time.
  void end_group();
  pid_t pid() const { return pid_; }

 private:
  bool group_gone_by(Clock::time_point deadline);

  pid_t pid_;
  bool done_with_ = false;  // reaped, or ended as far as it would end
  Fd pidfd_;
  Clock::time_point started_;
  std::function<void()> check_interrupts_;
  Clock::duration grace_;
};

// Sleeps until `descriptor` is readable or `deadline` has passed, whichever
// comes first (or until a signal comes: then check_interrupts runs); true when
// it is readable. A descriptor of -1 only sleeps.
bool wait_readable(int descriptor, ChildProcess::Clock::time_point deadline,
                   const std::function<void()>& check_interrupts);

}  // namespace kestrel
