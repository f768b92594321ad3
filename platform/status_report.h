#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/idle_work.h"
#include "platform/run_status.h"
#include "platform/stick_watch.h"
#include "platform/systemd_notify.h"

namespace kestrel {

// Keeps systemd's status line of the service (STATUS=, `systemctl status`)
// up to date: at most every `interval`, from the run's figures and the
// radar's silence, and only when the line has changed. Runs as idle work of
// the radar link's wait, so it costs nothing between its times, and nothing
// at all where no service manager listens.
class StatusReport : public IdleWork {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds interval{5};

  StatusReport(const RunStatus& status, StickWatch& radar, const SystemdNotify& systemd,
               std::function<Clock::time_point()> now = Clock::now)
      : status_(status), radar_(radar), systemd_(systemd), now_(std::move(now)) {}

  int run_due() override;
  // Sends the line now if it has changed (before a command, which may be
  // long: an export).
  void send_now();

 private:
  const RunStatus& status_;
  StickWatch& radar_;
  const SystemdNotify& systemd_;
  std::function<Clock::time_point()> now_;
  std::optional<Clock::time_point> next_;
  std::string sent_;
};

}  // namespace kestrel
