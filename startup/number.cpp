#include "startup/number.h"

#include <optional>
#include <string>

#include "platform/errors.h"

namespace kestrel {

double convert_number(std::string_view text, Floats& floats) {
  std::optional<double> value;
  if (text.find('_') == std::string_view::npos) value = floats.parse(std::string(text));
  if (!value) throw ConversionError(std::string(text));
  return *value;
}

}  // namespace kestrel
