#include "platform/status_report.h"

namespace kestrel {

int StatusReport::run_due() {
  if (!systemd_.active()) return -1;
  const Clock::time_point now = now_();
  if (!next_ || now >= *next_) {
    send_now();
    next_ = now + interval;
  }
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*next_ - now).count());
}

void StatusReport::send_now() {
  if (!systemd_.active()) return;
  const std::string line = status_line(status_, radar_.silence());
  if (line == sent_) return;
  systemd_.send("STATUS=" + line);
  sent_ = line;
}

}  // namespace kestrel
