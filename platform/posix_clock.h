#pragma once

#include <functional>

#include "platform/ports.h"

namespace kestrel {

// The system clock in the local time zone. A signal that interrupts a sleep is
// handed to check_interrupts, which may throw.
class PosixClock : public Clock {
 public:
  explicit PosixClock(std::function<void()> check_interrupts = [] {});
  LocalTime now() override;
  void sleep(double seconds) override;

 private:
  std::function<void()> check_interrupts_;
};

// The local time of a reading in seconds since the epoch.
LocalTime local_time(long long seconds);

}  // namespace kestrel
