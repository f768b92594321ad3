// Owning Python references, and the C++ side of "a Python exception is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace kestrel {

// Thrown when a Python call failed: the Python exception is already set and
// must reach the caller unchanged.
struct PythonError {};

// Owns one strong reference.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) : object_(owned) {}
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }

 private:
  PyObject* object_ = nullptr;
};

// Takes ownership of a new reference; a null result means an exception is set.
inline PyRef checked(PyObject* result) {
  if (result == nullptr) throw PythonError{};
  return PyRef(result);
}

inline void checked_status(int status) {
  if (status < 0) throw PythonError{};
}

// Texts cross into Python in the file-system encoding with surrogateescape, so
// bytes that are not valid in it come back out unchanged.
inline PyRef to_str(const std::string& bytes) {
  return checked(
      PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

inline std::string to_bytes(PyObject* str) {
  PyRef encoded = checked(PyUnicode_EncodeFSDefault(str));
  char* data = nullptr;
  Py_ssize_t size = 0;
  checked_status(PyBytes_AsStringAndSize(encoded.get(), &data, &size));
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace kestrel
