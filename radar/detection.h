#pragma once

#include <string>

#include "platform/ports.h"

namespace kestrel {

// The distance window; both bounds are exclusive.
struct Window {
  double low;
  double high;
};

// An accepted frame: inside the window the buzzer sounds and the detection is
// logged (row, then last-seen time); at or beyond a bound the buzzer is
// silenced. The two tests are made separately, as written: with a NaN bound
// neither holds and the buzzer is left as it is.
void detection_step(double dist, const std::string& text, const Window& window,
                    const std::string& worksheet, Platform& platform);

// A rejected frame silences the buzzer.
void rejection_step(Buzzer& buzzer);

// A stick under /media/pi sounds the buzzer until the end path silences it.
void usb_step(Buzzer& buzzer);

}  // namespace kestrel
