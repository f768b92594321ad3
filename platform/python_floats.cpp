#include "platform/python_floats.h"

#include "platform/python_ref.h"

namespace kestrel {

std::optional<double> PythonFloats::parse(const std::string& text) {
  PyRef str = to_str(text);
  PyRef number(PyFloat_FromString(str.get()));
  if (number.get() == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PythonError{};
    PyErr_Clear();
    return std::nullopt;
  }
  return PyFloat_AsDouble(number.get());
}

}  // namespace kestrel
