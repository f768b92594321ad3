#pragma once

#include <string>

namespace kestrel {

// count * 0.01 as a double product (not count / 100: the window test sees
// exactly this value, 0.5700000000000001 for count 57).
double distance_of(unsigned count);

// Fixed point with two decimals, correctly rounded from the exact double.
std::string distance_text(double dist);

}  // namespace kestrel
