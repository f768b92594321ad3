#include "platform/python_errors.h"

#include <cerrno>
#include <new>

#include "platform/errors.h"
#include "platform/python_ref.h"

namespace kestrel {
namespace {

void raise_os_error(const OsError& error) {
  PyRef filename = to_str(error.filename);
  if (error.message.empty()) {
    errno = error.code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
    return;
  }
  PyRef args = checked(Py_BuildValue("(isO)", error.code, error.message.c_str(), filename.get()));
  PyErr_SetObject(PyExc_OSError, args.get());
}

void raise_conversion_error(const ConversionError& error) {
  PyRef text = to_str(error.text);
  PyErr_Format(PyExc_ValueError, "could not convert string to float: %R", text.get());
}

void raise_device_error(const DeviceError& error) {
  PyRef args = checked(Py_BuildValue("(is)", error.code, error.what()));
  PyErr_SetObject(PyExc_OSError, args.get());
}

void raise_called_process_error(const CalledProcessError& error) {
  PyRef subprocess = checked(PyImport_ImportModule("subprocess"));
  PyRef type = checked(PyObject_GetAttrString(subprocess.get(), "CalledProcessError"));
  PyRef cmd = to_str(error.cmd);
  PyRef output = checked(
      PyBytes_FromStringAndSize(error.output.data(), static_cast<Py_ssize_t>(error.output.size())));
  PyRef exception =
      checked(PyObject_CallFunction(type.get(), "iOO", error.returncode, cmd.get(), output.get()));
  PyErr_SetObject(type.get(), exception.get());
}

void raise_timeout_expired(const TimeoutExpired& error) {
  PyRef subprocess = checked(PyImport_ImportModule("subprocess"));
  PyRef type = checked(PyObject_GetAttrString(subprocess.get(), "TimeoutExpired"));
  PyRef cmd = to_str(error.cmd);
  PyRef output = checked(
      PyBytes_FromStringAndSize(error.output.data(), static_cast<Py_ssize_t>(error.output.size())));
  PyRef exception =
      checked(PyObject_CallFunction(type.get(), "OdO", cmd.get(), error.timeout, output.get()));
  PyErr_SetObject(type.get(), exception.get());
}

void translate() {
  try {
    throw;
  } catch (const PythonError&) {
  } catch (const OsError& error) {
    raise_os_error(error);
  } catch (const ConversionError& error) {
    raise_conversion_error(error);
  } catch (const CalledProcessError& error) {
    raise_called_process_error(error);
  } catch (const TimeoutExpired& error) {
    raise_timeout_expired(error);
  } catch (const DeviceError& error) {
    raise_device_error(error);
  } catch (const SettingError& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
}

}  // namespace

void raise_current_as_python() {
  try {
    translate();
  } catch (const PythonError&) {
    // Building the exception failed; that failure is the one set.
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "kestrel: failure while reporting a failure");
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "kestrel: unknown failure");
}

}  // namespace kestrel
