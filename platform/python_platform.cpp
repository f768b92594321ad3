#include "platform/python_platform.h"

#include <cstdlib>

#include "platform/board.h"

namespace kestrel {

PyRef global(PyObject* globals, const char* name) {
  PyObject* value = PyDict_GetItemString(globals, name);
  if (value == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw PythonError{};
  }
  return PyRef::borrow(value);
}

namespace {

// The public names of a module: its __all__, or else every name in its
// namespace that does not begin with an underscore.
PyRef public_names(PyObject* source) {
  if (PyObject_HasAttrString(source, "__all__")) {
    return checked(PyObject_GetAttrString(source, "__all__"));
  }
  PyRef keys = checked(PyDict_Keys(PyModule_GetDict(source)));
  PyRef names = checked(PyList_New(0));
  PyRef underscore = checked(PyUnicode_FromString("_"));
  const Py_ssize_t count = PyList_Size(keys.get());
  for (Py_ssize_t k = 0; k < count; ++k) {
    PyObject* name = PyList_GetItem(keys.get(), k);
    const Py_ssize_t private_name = PyUnicode_Tailmatch(name, underscore.get(), 0, 1, -1);
    checked_status(static_cast<int>(private_name));
    if (private_name == 0) checked_status(PyList_Append(names.get(), name));
  }
  return names;
}

}  // namespace

void import_star(PyObject* module, const char* name) {
  PyRef source = checked(PyImport_ImportModule(name));
  PyRef names = public_names(source.get());
  PyRef iterator = checked(PyObject_GetIter(names.get()));
  while (PyObject* next = PyIter_Next(iterator.get())) {
    PyRef attribute_name(next);
    PyRef value = checked(PyObject_GetAttr(source.get(), attribute_name.get()));
    checked_status(PyObject_SetAttr(module, attribute_name.get(), value.get()));
  }
  if (PyErr_Occurred()) throw PythonError{};
}

void import_module(PyObject* module, const char* name) {
  PyRef imported = checked(PyImport_ImportModule(name));
  checked_status(PyObject_SetAttrString(module, name, imported.get()));
}

void check_signals() { checked_status(PyErr_CheckSignals()); }

PythonPlatform::PythonPlatform(PyObject* module)
    : watched_files_(posix_files_, board::media_directory),
      files_(watched_files_, flush_to_storage),
      sticks_watch_(board::media_directory),
      systemd_(std::getenv("NOTIFY_SOCKET")),
      status_report_(run_status_, sticks_watch_, systemd_),
      idle_(files_, status_report_),
      serial_(PyModule_GetDict(module), idle_, sticks_watch_),
      buzzer_(PyModule_GetDict(module)),
      shell_(check_signals,
             [this] {
               files_.flush_waiting();
               status_report_.send_now();
             }),
      clock_(check_signals),
      sticks_(check_signals),
      platform_{serial_, buzzer_,      console_, shell_,     clock_,
                files_,  posix_files_, sticks_,  run_status_} {}

}  // namespace kestrel
