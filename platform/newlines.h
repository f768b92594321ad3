#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// Universal line ends, as a text-mode read gives them: CR LF and a lone CR
// both become LF.
std::string to_universal_newlines(std::string_view raw);

}  // namespace kestrel
