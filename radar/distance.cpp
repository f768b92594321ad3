#include "radar/distance.h"

#include <charconv>

namespace kestrel {

double distance_of(unsigned count) { return static_cast<double>(count) * 0.01; }

std::string distance_text(double dist) {
  char text[400];
  auto result = std::to_chars(text, text + sizeof text, dist, std::chars_format::fixed, 2);
  return std::string(text, result.ptr);
}

}  // namespace kestrel
