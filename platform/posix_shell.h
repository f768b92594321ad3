#pragma once

#include <functional>

#include "platform/child_process.h"
#include "platform/ports.h"

namespace kestrel {

// Runs commands as "/bin/sh -c COMMAND", inheriting the console, each in a
// process group of its own, so that a command that outlives its limit can be
// ended with everything it started (platform/child_process.h). Signals that
// interrupt a wait are handed to check_interrupts, which may throw;
// before_command runs before each command starts; `grace` is how long a
// command that outlived its limit is given to end after each signal.
class PosixShell : public Shell {
 public:
  explicit PosixShell(
      std::function<void()> check_interrupts = [] {}, std::function<void()> before_command = [] {},
      ChildProcess::Clock::duration grace = ChildProcess::default_grace)
      : check_interrupts_(std::move(check_interrupts)),
        before_command_(std::move(before_command)),
        grace_(grace) {}
  int run(const std::string& command, std::chrono::milliseconds limit) override;
  std::string capture(const std::string& command, std::chrono::milliseconds limit) override;

 private:
  int spawn(const std::string& command, int stdout_fd);
  std::function<void()> check_interrupts_;
  std::function<void()> before_command_;
  ChildProcess::Clock::duration grace_;
};

}  // namespace kestrel
