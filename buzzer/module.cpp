// The buzzer module: importing it claims the buzzer's GPIO line, silent, and
// exports `pin` with buzzer_blow() and buzzer_off().
#include "buzzer/config.h"
#include "buzzer/gpio_devices.h"
#include "buzzer/pin.h"
#include "platform/python_errors.h"

namespace buzzer {
namespace {

KernelGpioDevices kernel;

int load(PyObject* module) {
  return kestrel::guarded([&] { add_pin(module, kernel, load_config()); });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(load)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "buzzer",
    "The logger's buzzer on a GPIO output line (see /etc/kestrel/buzzer.conf).",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace buzzer

PyMODINIT_FUNC PyInit_buzzer(void) { return PyModuleDef_Init(&buzzer::definition); }
