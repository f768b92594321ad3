#include "platform/python_console.h"

#include "platform/python_ref.h"

namespace kestrel {

void PythonConsole::print_line(const std::string& text) {
  PyRef out = PyRef::borrow(PySys_GetObject("stdout"));
  if (out.get() == nullptr || out.get() == Py_None) return;
  PyRef line = to_str(text + "\n");
  checked(PyObject_CallMethod(out.get(), "write", "O", line.get()));
  checked(PyObject_CallMethod(out.get(), "flush", nullptr));
}

}  // namespace kestrel
