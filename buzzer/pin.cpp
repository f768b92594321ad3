#include "buzzer/pin.h"

#include <memory>

#include "buzzer/output_line.h"
#include "platform/python_errors.h"

namespace buzzer {
namespace {

using kestrel::checked;
using kestrel::checked_status;
using kestrel::PyRef;

constexpr const char* consumer = "kestrel buzzer";

struct Pin {
  PyObject ob_base;
  OutputLine* line;  // owned; null for a pin not made by the import
};

PyObject* drive(PyObject* self, bool active) {
  OutputLine* line = reinterpret_cast<Pin*>(self)->line;
  if (line == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "this pin drives no GPIO line; use buzzer.pin");
    return nullptr;
  }
  if (kestrel::guarded([&] { line->set(active); }) < 0) return nullptr;
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

}  // namespace

void add_pin(PyObject* module, GpioDevices& devices, const Config& config) {
  auto line = std::make_unique<OutputLine>(OutputLine::claim(devices, config, consumer));
  PyRef type = checked(PyType_FromSpec(&pin_spec));
  PyRef pin = checked(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type.get()), 0));
  reinterpret_cast<Pin*>(pin.get())->line = line.release();
  PyRef all = checked(Py_BuildValue("[s]", "pin"));
  checked_status(PyObject_SetAttrString(module, "pin", pin.get()));
  checked_status(PyObject_SetAttrString(module, "__all__", all.get()));
}

}  // namespace buzzer
