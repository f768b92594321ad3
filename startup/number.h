#pragma once

#include <string_view>

#include "platform/ports.h"

namespace kestrel {

// Converts a whole configuration text to a double as the running
// interpreter's float() does: white space around it, an optional sign,
// digits with an optional "." and exponent, or inf / infinity / nan, with the
// digits and white space of every script that interpreter knows. A text with
// an underscore fails whatever the interpreter (float() has read underscores
// as digit grouping only since Python 3.6). A failure throws ConversionError
// carrying the text.
double convert_number(std::string_view text, Floats& floats);

}  // namespace kestrel
