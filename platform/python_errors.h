#pragma once

namespace kestrel {

// Sets the Python exception that matches the C++ exception being handled:
// OsError as OSError (its errno subclass, with the file name and the
// OsError's message, if it has one, for errno's text), ConversionError
// as ValueError, CalledProcessError as subprocess.CalledProcessError,
// TimeoutExpired as subprocess.TimeoutExpired,
// DeviceError as OSError (its errno subclass, with the message), SettingError
// as ValueError, std::bad_alloc as MemoryError. A PythonError leaves the
// exception already set as it is. Call only from a catch block.
void raise_current_as_python();

// Runs body; returns 0, or -1 with a Python exception set.
template <class Body>
int guarded(Body&& body) {
  try {
    body();
    return 0;
  } catch (...) {
    raise_current_as_python();
    return -1;
  }
}

}  // namespace kestrel
