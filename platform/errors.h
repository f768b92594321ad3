// Failures the program reports. Each carries what the user needs to see; the
// module entry turns each into the matching Python exception.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrel {

// A system call failed on a file or a program: errno and the name it concerns.
struct OsError : std::runtime_error {
  OsError(int code, std::string filename)
      : std::runtime_error(filename), code(code), filename(std::move(filename)) {}
  int code;
  std::string filename;
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

}  // namespace kestrel
