#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// Quotes a word for sh: a word made only of letters, digits and @%+=:,./_-
// stays as it is; anything else is put in single quotes, each ' written '"'"'.
std::string shell_quote(std::string_view word);

}  // namespace kestrel
