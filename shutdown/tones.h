// How the buzzer ends an export, for the technician's ear. It has sounded
// since the stick was found; either ending takes 3 seconds and leaves it
// silent for the restart.
#pragma once

#include "platform/ports.h"

namespace kestrel {

// The copy is on the stick: the tone goes on for 3 seconds more.
void success_tone(Clock& clock);

// The export failed: silence, then three groups of three short beeps, within
// the same 3 seconds.
void failure_beeps(Buzzer& buzzer, Clock& clock);

}  // namespace kestrel
