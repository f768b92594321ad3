#include "platform/python_buzzer.h"

#include "platform/python_platform.h"

namespace kestrel {

void PythonBuzzer::call(const char* method) {
  PyRef pin = global(globals_.get(), "pin");
  checked(PyObject_CallMethod(pin.get(), method, nullptr));
}

}  // namespace kestrel
