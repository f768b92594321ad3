// Reference answers from Debian's Python, run as a program of its own or
// embedded.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/python_floats.h"
#include "startup/number.h"
#include "tests/support/embedded_python.h"
#include "tests/support/temp_dir.h"

namespace kestrel::testing {

// The range files' conversion as the module makes it: through the float() of
// an interpreter, here the embedded one.
inline double convert_with_python(std::string_view text) {
  ensure_interpreter();
  PythonFloats floats;
  return convert_number(text, floats);
}

inline std::string hex_of(const std::string& bytes) {
  std::string hex;
  for (unsigned char c : bytes) hex += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return hex;
}

// Runs `script` in /usr/bin/python3 with the inputs hex-encoded one per line
// on its standard input; its output lines, or nullopt without that Python.
inline std::optional<std::vector<std::string>> python_lines(
    const std::string& script, const std::vector<std::string>& inputs) {
  if (::access("/usr/bin/python3", X_OK) != 0) return std::nullopt;
  TempDir dir;
  std::ofstream(dir / "script.py") << script;
  std::ofstream input(dir / "input");
  for (const std::string& item : inputs) input << hex_of(item) << '\n';
  input.close();
  const std::string command = "/usr/bin/python3 -I " + (dir / "script.py") + " <" + (dir / "input");
  FILE* pipe = ::popen(command.c_str(), "r");
  std::vector<std::string> lines(1);
  for (int c; (c = std::fgetc(pipe)) != EOF;) c == '\n' ? lines.emplace_back() : lines.back() += c;
  lines.pop_back();
  if (::pclose(pipe) != 0) lines.push_back("python failed");
  return lines;
}

// Expects actual(input) to be the line the Python script prints for each
// input; skips the test where that Python is missing.
template <class Actual>
void expect_agrees_with_python(const std::string& script, const std::vector<std::string>& inputs,
                               Actual actual) {
  const auto expected = python_lines(script, inputs);
  if (!expected) GTEST_SKIP() << "no /usr/bin/python3";
  ASSERT_EQ(expected->size(), inputs.size());
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    EXPECT_EQ(actual(inputs[k]), (*expected)[k]) << "input (hex) " << hex_of(inputs[k]);
  }
}

}  // namespace kestrel::testing
