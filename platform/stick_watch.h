#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/fd.h"

namespace kestrel {

// Tells the receive cycle when to look for a stick while the radar is
// silent: the radar link's wait watches the folder sticks are mounted in
// (inotify), and once something has appeared there, or the run has started,
// and then neither a byte has come nor anything changed there for
// `quiet_time`, a look falls due, once. While bytes come, the cycle lists the
// folder for each of them as it always did, and the watch costs nothing.
class StickWatch {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;
  // Long enough for a mount point to be made and mounted on.
  static constexpr std::chrono::seconds quiet_time{5};

  // A folder that cannot be watched (missing, out of inotify watches) leaves
  // the watch idle: no look ever falls due.
  explicit StickWatch(const std::string& folder, Now now = Clock::now);
  StickWatch(const StickWatch&) = delete;
  StickWatch& operator=(const StickWatch&) = delete;

  // The descriptor to wake for; -1 for an idle watch.
  int descriptor() const { return inotify_.get(); }
  // A byte came: the radar's silence starts over (at the next look at the
  // time, so this costs no clock reading).
  void heard() { heard_ = true; }
  // Takes in what changed under the folder since the last call, without waiting.
  void take_changes();
  // Milliseconds until a look falls due (rounded up, 0 when it is due);
  // -1 while none waits.
  int due_in_ms();
  // True, once, when a look has fallen due.
  bool look_now();
  // How long the radar has been silent, as of the last look at the time.
  Clock::duration silence();

 private:
  // When a look falls due, with the silence brought up to `now`.
  Clock::time_point due_at(Clock::time_point now);

  Fd inotify_;
  Now now_;
  bool armed_;
  bool heard_ = false;
  Clock::time_point last_byte_;
  Clock::time_point last_change_;
};

// A watch of nothing, for links that serve no sticks.
StickWatch& no_stick_watch();

}  // namespace kestrel
