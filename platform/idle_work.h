#pragma once

#include <algorithm>

namespace kestrel {

// The sooner of two waits in milliseconds, -1 standing for none.
inline int earliest(int one, int other) {
  if (one < 0) return other;
  if (other < 0) return one;
  return std::min(one, other);
}

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

// Two kinds of idle work as one: each runs when it is due, and the wait
// lasts until the sooner falls due again.
class BothIdleWork : public IdleWork {
 public:
  BothIdleWork(IdleWork& one, IdleWork& other) : one_(one), other_(other) {}
  int run_due() override { return earliest(one_.run_due(), other_.run_due()); }

 private:
  IdleWork& one_;
  IdleWork& other_;
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
