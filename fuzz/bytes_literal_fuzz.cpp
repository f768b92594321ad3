// The bytes-literal notation of captured output against the interpreter's
// repr() of the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "python_oracle.h"
#include "tagsheet/bytes_literal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string got = kestrel::bytes_literal(bytes);
  const std::string expected = oracle::bytes_repr(bytes);
  if (got != expected) {
    std::fprintf(stderr, "bytes_literal: %s\nrepr():        %s\n", got.c_str(), expected.c_str());
    std::abort();
  }
  return 0;
}
