#pragma once

#include <functional>

#include "platform/ports.h"

namespace kestrel {

// Runs commands as "/bin/sh -c COMMAND", inheriting the console. Signals that
// interrupt a wait are handed to check_interrupts, which may throw.
class PosixShell : public Shell {
 public:
  explicit PosixShell(std::function<void()> check_interrupts = [] {})
      : check_interrupts_(std::move(check_interrupts)) {}
  int run(const std::string& command) override;
  std::string capture(const std::string& command) override;

 private:
  int spawn(const std::string& command, int stdout_fd);
  int wait_for(int pid);
  std::function<void()> check_interrupts_;
};

}  // namespace kestrel
