// The buzzer module: importing it claims the buzzer's GPIO line, silent, and
// exports `pin` with buzzer_blow() and buzzer_off().
#include <memory>

#include "buzzer/config.h"
#include "buzzer/gpio_devices.h"
#include "buzzer/output_line.h"
#include "platform/python_ref.h"

namespace buzzer {
namespace {

using kestrel::checked;
using kestrel::PyRef;
using kestrel::PythonError;

constexpr const char* kConsumer = "kestrel buzzer";

KernelGpioDevices kernel;

struct Pin {
  PyObject ob_base;
  OutputLine* line;  // owned; null for a pin not made by the import
};

// Sets the Python exception for the C++ exception being handled.
void raise_current() {
  try {
    throw;
  } catch (const PythonError&) {
  } catch (const GpioError& error) {
    PyRef args(Py_BuildValue("(is)", error.code, error.what()));
    if (args.get()) PyErr_SetObject(PyExc_OSError, args.get());
  } catch (const ConfigError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
}

PyObject* drive(PyObject* self, bool active) {
  OutputLine* line = reinterpret_cast<Pin*>(self)->line;
  if (line == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "this pin drives no GPIO line; use buzzer.pin");
    return nullptr;
  }
  try {
    line->set(active);
  } catch (...) {
    raise_current();
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* buzzer_blow(PyObject* self, PyObject* /*unused*/) { return drive(self, true); }
PyObject* buzzer_off(PyObject* self, PyObject* /*unused*/) { return drive(self, false); }

void pin_dealloc(PyObject* self) {
  delete reinterpret_cast<Pin*>(self)->line;
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyMethodDef pin_methods[] = {
    {"buzzer_blow", buzzer_blow, METH_NOARGS, "Sound the buzzer until buzzer_off()."},
    {"buzzer_off", buzzer_off, METH_NOARGS, "Silence the buzzer."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pin_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(pin_dealloc)},
    {Py_tp_methods, pin_methods},
    {Py_tp_doc, const_cast<char*>("The buzzer on its GPIO output line.")},
    {0, nullptr},
};

PyType_Spec pin_spec = {"buzzer.Pin", sizeof(Pin), 0, Py_TPFLAGS_DEFAULT, pin_slots};

int load(PyObject* module) {
  try {
    auto line = std::make_unique<OutputLine>(OutputLine::claim(kernel, load_config(), kConsumer));
    PyRef type = checked(PyType_FromSpec(&pin_spec));
    PyRef pin = checked(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type.get()), 0));
    reinterpret_cast<Pin*>(pin.get())->line = line.release();
    PyRef all = checked(Py_BuildValue("[s]", "pin"));
    kestrel::checked_status(PyObject_SetAttrString(module, "pin", pin.get()));
    kestrel::checked_status(PyObject_SetAttrString(module, "__all__", all.get()));
    return 0;
  } catch (...) {
    raise_current();
    return -1;
  }
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
