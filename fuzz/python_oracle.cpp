#include "python_oracle.h"

#include <cstdio>
#include <cstdlib>

#include "platform/python_ref.h"
#include "tests/support/embedded_python.h"

namespace oracle {
namespace {

using kestrel::PyRef;

[[noreturn]] void oracle_failed(const char* what) {
  PyErr_Print();
  std::fprintf(stderr, "python oracle: %s failed\n", what);
  std::abort();
}

PyRef call_or_abort(PyObject* result, const char* what) {
  if (result == nullptr) oracle_failed(what);
  return PyRef(result);
}

PyRef as_bytes(std::string_view bytes) {
  kestrel::testing::ensure_interpreter();
  return call_or_abort(
      PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())), "bytes()");
}

// The Python function float_of_file(data), defined once.
PyObject* float_of_file_function() {
  static PyObject* function = [] {
    PyRef globals = call_or_abort(PyDict_New(), "dict()");
    PyRef builtins = call_or_abort(PyImport_ImportModule("builtins"), "import builtins");
    if (PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) != 0) {
      oracle_failed("__builtins__");
    }
    PyRef code = call_or_abort(
        Py_CompileString("import io\n"
                         "def float_of_file(data):\n"
                         "    text = io.TextIOWrapper(io.BytesIO(data), encoding='utf-8').read()\n"
                         "    return float(text)\n",
                         "oracle", Py_file_input),
        "compile");
    call_or_abort(PyEval_EvalCode(code.get(), globals.get(), globals.get()), "define");
    PyObject* defined = PyDict_GetItemString(globals.get(), "float_of_file");
    Py_XINCREF(defined);
    return defined;
  }();
  return function;
}

}  // namespace

std::string bytes_repr(std::string_view bytes) {
  PyRef value = as_bytes(bytes);
  PyRef repr = call_or_abort(PyObject_Repr(value.get()), "repr()");
  return kestrel::to_bytes(repr.get());
}

std::optional<double> float_of_file(std::string_view bytes) {
  PyRef data = as_bytes(bytes);
  PyRef number(PyObject_CallFunctionObjArgs(float_of_file_function(), data.get(), nullptr));
  if (number.get() == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) oracle_failed("float()");
    PyErr_Clear();  // ValueError, UnicodeDecodeError among them
    return std::nullopt;
  }
  return PyFloat_AsDouble(number.get());
}

}  // namespace oracle
