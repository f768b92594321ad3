// Failures the program and the buzzer module report. Each carries what the
// user needs to see; the module entries turn each into the matching Python
// exception (platform/python_errors.h).
#pragma once

#include <stdexcept>
#include <string>

namespace kestrel {

// A system call failed on a file or a program, or a file is not one the
// program may use: errno, the name it concerns and, where errno's own text
// would not say what is wrong, a message in its place.
struct OsError : std::runtime_error {
  OsError(int code, std::string filename, std::string message = {})
      : std::runtime_error(filename),
        code(code),
        filename(std::move(filename)),
        message(std::move(message)) {}
  int code;
  std::string filename;
  std::string message;
};

// A device failed: errno and a message of its own that names the device.
struct DeviceError : std::runtime_error {
  DeviceError(int code, const std::string& message) : std::runtime_error(message), code(code) {}
  int code;
};

// A setting that cannot be used; the message says which and why.
struct SettingError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A configuration text that is not a number.
struct ConversionError : std::runtime_error {
  explicit ConversionError(std::string text)
      : std::runtime_error("could not convert string to float"), text(std::move(text)) {}
  std::string text;
};

// A command whose exit status counts ended with a non-zero status
// (the negative signal number when a signal ended it).
struct CalledProcessError : std::runtime_error {
  CalledProcessError(int returncode, std::string cmd, std::string output)
      : std::runtime_error(cmd),
        returncode(returncode),
        cmd(std::move(cmd)),
        output(std::move(output)) {}
  int returncode;
  std::string cmd;
  std::string output;
};

// A command whose end the program waits for did not end within its time
// limit, and was ended.
struct TimeoutExpired : std::runtime_error {
  TimeoutExpired(std::string cmd, double timeout, std::string output)
      : std::runtime_error(cmd), cmd(std::move(cmd)), timeout(timeout), output(std::move(output)) {}
  std::string cmd;
  double timeout;  // seconds
  std::string output;
};

}  // namespace kestrel
