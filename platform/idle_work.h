#pragma once

namespace kestrel {

// Work that falls due while the radar link waits for a byte. The link runs
// what is due whenever it asks for bytes, and its wait sleeps no longer than
// until more falls due.
class IdleWork {
 public:
  virtual ~IdleWork() = default;
  // Runs what is due now; returns the milliseconds until more falls due
  // (rounded up), or -1 while nothing waits.
  virtual int run_due() = 0;
};

// Nothing ever falls due.
inline IdleWork& no_idle_work() {
  struct Nothing : IdleWork {
    int run_due() override { return -1; }
  };
  static Nothing nothing;
  return nothing;
}

}  // namespace kestrel
