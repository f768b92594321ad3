// Debian's interpreter embedded in a C++ test program, for the tests and fuzz
// targets that run code meant for it or ask it for the right answer.
#pragma once

#include <string>

namespace kestrel::testing {

// Starts the interpreter once for the whole program.
void ensure_interpreter();

// The pending Python exception as "TypeName: message", cleared; "" when none.
std::string take_exception();

}  // namespace kestrel::testing
