#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/idle_work.h"
#include "platform/ports.h"
#include "platform/stick_watch.h"

namespace kestrel {

// The radar link read straight from its descriptor. A poll asks the serial
// driver how many bytes are waiting (TIOCINQ); the read of the first byte
// takes all of them at once, and the following reads hand them out one by one,
// so the receive cycle still polls, lists and reads once per byte in the same
// order, without a system call per byte.
//
// A poll that finds nothing sleeps in the kernel (ppoll) until a byte arrives,
// a signal comes, the line hangs up or `idle` work falls due, and then reports
// nothing waiting: the cycle asks again at once and finds the byte. A silent
// radar costs no processor time. Every poll that asks the driver runs the idle
// work that is due.
//
// The wait also wakes for `watch` (a stick under /media/pi) and sleeps no
// longer than until its look falls due; a poll that finds bytes tells it the
// radar spoke.
//
// Any failure of the descriptor (an ioctl or read error, end of file, a hang-up)
// is left to `fallback`, the same link used through its own operations, so
// errors are reported exactly as it reports them. `check_signals` runs at every
// poll that asks the driver (it throws to stop the run on Ctrl-C); a signal that
// comes while the poll sleeps ends the sleep, so the next poll throws.
class BlockLink : public RadarLink {
 public:
  BlockLink(int fd, RadarLink& fallback, void (*check_signals)(), IdleWork& idle = no_idle_work(),
            StickWatch& watch = no_stick_watch())
      : fd_(fd), fallback_(fallback), check_signals_(check_signals), idle_(idle), watch_(watch) {}
  bool byte_waiting() override;
  std::uint8_t read_byte() override;
  bool quiet_stick() override { return watch_.look_now(); }

 private:
  // Sleeps until the line has a byte, hangs up or fails, a signal comes or
  // timeout_ms have passed (-1: no limit); true when it hung up or failed.
  bool sleep_until_input(int timeout_ms);

  int fd_;
  RadarLink& fallback_;
  void (*check_signals_)();
  IdleWork& idle_;
  StickWatch& watch_;
  int waiting_ = 0;  // the driver's count at the last poll
  std::array<std::uint8_t, 4096> block_{};
  std::size_t next_ = 0;
  std::size_t end_ = 0;
};

}  // namespace kestrel
