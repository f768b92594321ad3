#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// The bytes-literal notation of captured output, b'...' (or b"..." when the
// bytes hold a single quote and no double quote), byte for byte as the
// interpreter's repr() of a bytes object writes it.
std::string bytes_literal(std::string_view bytes);

}  // namespace kestrel
