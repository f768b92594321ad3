#pragma once

#include <string_view>

namespace kestrel {

// Converts a whole configuration text to a double, with the grammar of a
// decimal floating-point literal: white space around it, an optional sign,
// digits with an optional "." and exponent, or inf / infinity / nan in any
// case. As in the interpreter's float(), the digits may be the decimal digits
// of any script and the white space Unicode spaces. Anything else (empty
// text, comma, underscore, hex) throws ConversionError carrying the text.
double convert_number(std::string_view text);

}  // namespace kestrel
