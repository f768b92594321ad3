#include "shutdown/tones.h"

namespace kestrel {
namespace {

constexpr double beep = 0.1;   // on, then off as long
constexpr double pause = 0.4;  // before each group of three

}  // namespace

void success_tone(Clock& clock) { clock.sleep(3); }

void failure_beeps(Buzzer& buzzer, Clock& clock) {
  buzzer.off();
  for (int group = 0; group < 3; ++group) {
    clock.sleep(pause);
    for (int k = 0; k < 3; ++k) {
      buzzer.blow();
      clock.sleep(beep);
      buzzer.off();
      clock.sleep(beep);
    }
  }
}

}  // namespace kestrel
