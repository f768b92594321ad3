// The buzzer module's object `pin`, whose buzzer_blow() and buzzer_off() drive
// the buzzer's output line.
#pragma once

#include "buzzer/config.h"
#include "buzzer/gpio_devices.h"
#include "platform/python_ref.h"

namespace buzzer {

// Claims the line the settings name on the devices, driven silent, and sets
// the module's `pin` and its __all__. Throws what claiming the line throws,
// or kestrel::PythonError.
void add_pin(PyObject* module, GpioDevices& devices, const Config& config);

}  // namespace buzzer
