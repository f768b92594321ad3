// The module entry: importing kestrel reads the configuration and runs the
// controller, which does not return in normal operation.
#include "platform/posix_files.h"
#include "platform/python_errors.h"
#include "platform/python_floats.h"
#include "platform/python_platform.h"
#include "startup/config.h"
#include "startup/controller.h"

namespace kestrel {
namespace {

// The configuration values as module globals, where the controller finds them.
void store_config(PyObject* module, const Config& config) {
  PyRef high = checked(PyFloat_FromDouble(config.range_high));
  PyRef low = checked(PyFloat_FromDouble(config.range_low));
  checked_status(PyObject_SetAttrString(module, "range_high", high.get()));
  checked_status(PyObject_SetAttrString(module, "range_low", low.get()));
  checked_status(
      PyObject_SetAttrString(module, "equi_Stop_time", to_str(config.equi_Stop_time).get()));
  checked_status(
      PyObject_SetAttrString(module, "serial_number", to_str(config.serial_number).get()));
}

double float_attribute(PyObject* module, const char* name) {
  PyRef value = checked(PyObject_GetAttrString(module, name));
  const double number = PyFloat_AsDouble(value.get());
  if (number == -1.0 && PyErr_Occurred()) throw PythonError{};
  return number;
}

std::string text_attribute(PyObject* module, const char* name) {
  PyRef value = checked(PyObject_GetAttrString(module, name));
  return to_bytes(value.get());
}

Config config_of(PyObject* module) {
  Config config;
  config.range_high = float_attribute(module, "range_high");
  config.range_low = float_attribute(module, "range_low");
  config.equi_Stop_time = text_attribute(module, "equi_Stop_time");
  config.serial_number = text_attribute(module, "serial_number");
  return config;
}

PyObject* controller_entry(PyObject* module, PyObject* /*unused*/) {
  const int status = guarded([&] {
    const Config config = config_of(module);
    PythonPlatform python(module);
    controller(config, python.platform());
  });
  if (status < 0) return nullptr;
  Py_RETURN_NONE;
}

int load(PyObject* module) {
  return guarded([&] {
    import_star(module, "buzzer");
    import_module(module, "serial");
    PosixFiles files;
    PythonFloats floats;
    store_config(module, read_config(files, floats));
    PyRef entry = checked(PyObject_GetAttrString(module, "controller"));
    checked(PyObject_CallObject(entry.get(), nullptr));
  });
}

PyMethodDef methods[] = {
    {"controller", controller_entry, METH_NOARGS, "Run the logger: start, then the receive cycle."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(load)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "kestrel",
    "Unattended proximity logger: importing the module runs it.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kestrel

PyMODINIT_FUNC PyInit_kestrel(void) { return PyModuleDef_Init(&kestrel::definition); }
