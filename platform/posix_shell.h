#pragma once

#include <functional>

#include "platform/ports.h"

namespace kestrel {

// Runs commands as "/bin/sh -c COMMAND", inheriting the console. Signals that
// interrupt a wait are handed to check_interrupts, which may throw;
// before_command runs before each command starts.
class PosixShell : public Shell {
 public:
  explicit PosixShell(
      std::function<void()> check_interrupts = [] {}, std::function<void()> before_command = [] {})
      : check_interrupts_(std::move(check_interrupts)),
        before_command_(std::move(before_command)) {}
  int run(const std::string& command) override;
  std::string capture(const std::string& command) override;

 private:
  int spawn(const std::string& command, int stdout_fd);
  int wait_for(int pid);
  std::function<void()> check_interrupts_;
  std::function<void()> before_command_;
};

}  // namespace kestrel
