#include "radar/detection.h"

#include "shutdown/last_seen.h"
#include "tagsheet/records.h"

namespace kestrel {

void detection_step(double dist, const std::string& text, const Window& window,
                    const std::string& worksheet, Platform& platform) {
  if (dist > window.low && dist < window.high) {
    platform.buzzer.blow();
    const LocalTime detected = platform.clock.now();
    const std::string tt = time_text(detected);
    platform.files.append(worksheet, row(date_text(detected), tt, text));
    record_last_seen(platform.files, tt);
  }
  if (dist <= window.low || dist >= window.high) platform.buzzer.off();
}

void rejection_step(Buzzer& buzzer) { buzzer.off(); }

void usb_step(Buzzer& buzzer) { buzzer.blow(); }

}  // namespace kestrel
