#pragma once

#include <functional>

#include "platform/ports.h"

namespace kestrel {

// The system clock in the local time zone. A signal that interrupts a sleep is
// handed to check_interrupts, which may throw.
class PosixClock : public Clock {
 public:
  explicit PosixClock(std::function<void()> check_interrupts = [] {});
  Stamp now() override;
  void sleep(double seconds) override;

 private:
  std::function<void()> check_interrupts_;
};

// Local date and time texts of a reading in seconds since the epoch.
Stamp local_stamp(long long seconds);

}  // namespace kestrel
