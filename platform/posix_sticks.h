#pragma once

#include <functional>

#include "platform/child_process.h"
#include "platform/ports.h"

namespace kestrel {

// The check of a copy runs in a child process of its own: a stick that stops
// answering leaves that child stuck in the kernel, not the logger, which
// ends it (or leaves it behind) once the limit has passed. Each copy is
// flushed to the stick (fsync) before it is read back, so a write the stick
// failed shows as an I/O error now rather than being lost at the unmount.
class PosixSticks : public Sticks {
 public:
  explicit PosixSticks(
      std::function<void()> check_interrupts = [] {},
      ChildProcess::Clock::duration grace = ChildProcess::default_grace)
      : check_interrupts_(std::move(check_interrupts)), grace_(grace) {}
  std::uint64_t total_size(const std::vector<std::string>& paths) override;
  CopyCheck check(const std::string& from, const std::string& to,
                  const std::vector<std::string>& names, std::chrono::milliseconds limit) override;

 private:
  std::function<void()> check_interrupts_;
  ChildProcess::Clock::duration grace_;
};

}  // namespace kestrel
