#include "python_oracle.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstdlib>

// The interpreter keeps its own objects for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython3\n"; }

namespace oracle {
namespace {

void ensure_interpreter() {
  if (Py_IsInitialized()) return;
  Py_InitializeEx(0);
}

[[noreturn]] void oracle_failed(const char* what) {
  PyErr_Print();
  std::fprintf(stderr, "python oracle: %s failed\n", what);
  std::abort();
}

struct Ref {
  explicit Ref(PyObject* object) : object(object) {}
  ~Ref() { Py_XDECREF(object); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  PyObject* object;
};

}  // namespace

std::string bytes_repr(std::string_view bytes) {
  ensure_interpreter();
  Ref value(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  if (!value.object) oracle_failed("bytes()");
  Ref repr(PyObject_Repr(value.object));
  if (!repr.object) oracle_failed("repr()");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(repr.object, &size);
  if (!text) oracle_failed("str of repr()");
  return std::string(text, static_cast<std::size_t>(size));
}

std::optional<double> float_of_file_text(std::string_view bytes) {
  ensure_interpreter();
  Ref text(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
  if (!text.object) {
    PyErr_Clear();
    return std::nullopt;
  }
  Ref number(PyFloat_FromString(text.object));
  if (!number.object) {
    PyErr_Clear();
    return std::nullopt;
  }
  return PyFloat_AsDouble(number.object);
}

}  // namespace oracle
