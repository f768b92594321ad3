#include "tests/support/embedded_python.h"

#include "platform/python_ref.h"

// The interpreter keeps its own objects for the life of the process.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libpython3\n";
}

namespace kestrel::testing {

void ensure_interpreter() {
  if (!Py_IsInitialized()) Py_InitializeEx(0);
}

std::string take_exception() {
  if (!PyErr_Occurred()) return "";
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);  // as raising it would
  PyRef owned_type(type);
  PyRef owned_value(value);
  PyRef owned_traceback(traceback);
  // The instance's own class: OSError(2, ...) makes a FileNotFoundError.
  PyRef raised = value != nullptr ? checked(PyObject_Type(value)) : PyRef::borrow(type);
  PyRef name = checked(PyObject_GetAttrString(raised.get(), "__name__"));
  PyRef text = checked(PyObject_Str(value != nullptr ? value : Py_None));
  return to_bytes(name.get()) + ": " + to_bytes(text.get());
}

}  // namespace kestrel::testing
