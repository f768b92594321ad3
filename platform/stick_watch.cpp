#include "platform/stick_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>

namespace kestrel {
namespace {

// A mount point made, or moved in.
constexpr std::uint32_t appearances = IN_CREATE | IN_MOVED_TO;

Fd watching(const std::string& folder) {
  Fd inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify.valid() || folder.empty() ||
      ::inotify_add_watch(inotify.get(), folder.c_str(), appearances | IN_ONLYDIR) < 0) {
    return Fd();
  }
  return inotify;
}

}  // namespace

StickWatch::StickWatch(const std::string& folder, Now now)
    : inotify_(watching(folder)), now_(std::move(now)), armed_(inotify_.valid()) {
  last_byte_ = last_change_ = now_();
}

void StickWatch::take_changes() {
  alignas(inotify_event) char events[4096];
  bool changed = false;
  while (inotify_.valid() && ::read(inotify_.get(), events, sizeof events) > 0) changed = true;
  if (!changed) return;
  armed_ = true;
  last_change_ = now_();
}

StickWatch::Clock::time_point StickWatch::due_at(Clock::time_point now) {
  if (heard_) {
    last_byte_ = now;
    heard_ = false;
  }
  return std::max(last_byte_, last_change_) + quiet_time;
}

int StickWatch::due_in_ms() {
  if (!armed_) return -1;
  const Clock::time_point now = now_();
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(due_at(now) - now);
  return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

bool StickWatch::look_now() {
  if (!armed_) return false;
  const Clock::time_point now = now_();
  if (now < due_at(now)) return false;
  armed_ = false;
  return true;
}

StickWatch::Clock::duration StickWatch::silence() {
  const Clock::time_point now = now_();
  due_at(now);
  return now - last_byte_;
}

StickWatch& no_stick_watch() {
  static StickWatch nothing("");
  return nothing;
}

}  // namespace kestrel
