// The module entry: importing kestrel reads the configuration and runs the
// controller, which does not return in normal operation.
#include "platform/posix_files.h"
#include "platform/python_errors.h"
#include "platform/python_platform.h"
#include "startup/config.h"
#include "startup/controller.h"

namespace kestrel {
namespace {

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
    store_config(module, read_config(files));
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
