// The range files' number conversion as the logger makes it (the file read
// with universal line ends, the text handed to the interpreter's float()
// unless it holds an underscore) against what a Python program gets from
// float(open(path, encoding="utf-8").read()) of the same bytes, written here
// independently: the same double (bit for bit, any NaN matching any NaN) or a
// failure on both sides. Texts holding an underscore must fail: the grouping
// float() allows is no part of the configuration's number grammar.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/errors.h"
#include "platform/newlines.h"
#include "platform/python_floats.h"
#include "python_oracle.h"
#include "startup/number.h"
#include "tests/support/embedded_python.h"

namespace {

std::optional<double> convert(const std::string& bytes) {
  kestrel::testing::ensure_interpreter();
  kestrel::PythonFloats floats;
  try {
    return kestrel::convert_number(kestrel::to_universal_newlines(bytes), floats);
  } catch (const kestrel::ConversionError&) {
    return std::nullopt;
  }
}

bool same(std::optional<double> a, std::optional<double> b) {
  if (!a || !b) return !a && !b;
  if (std::isnan(*a) || std::isnan(*b)) return std::isnan(*a) && std::isnan(*b);
  return std::memcmp(&*a, &*b, sizeof(double)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<double> expected =
      bytes.find('_') == std::string::npos ? oracle::float_of_file(bytes) : std::nullopt;
  const std::optional<double> got = convert(bytes);
  if (!same(got, expected)) {
    std::fprintf(stderr, "convert_number: %s, float(): %s\n",
                 got ? std::to_string(*got).c_str() : "failure",
                 expected ? std::to_string(*expected).c_str() : "failure");
    std::abort();
  }
  return 0;
}
