#include "platform/python_console.h"

#include "platform/python_ref.h"

namespace kestrel {

namespace {

void write_line(const char* stream, const std::string& line) {
  PyRef out = PyRef::borrow(PySys_GetObject(stream));
  if (out.get() == nullptr || out.get() == Py_None) return;
  PyRef text = to_str(line + "\n");
  checked(PyObject_CallMethod(out.get(), "write", "O", text.get()));
  checked(PyObject_CallMethod(out.get(), "flush", nullptr));
}

}  // namespace

void PythonConsole::print_line(const std::string& text) { write_line("stdout", text); }

void PythonConsole::note(const std::string& text) { write_line("stderr", "kestrel: " + text); }

}  // namespace kestrel
