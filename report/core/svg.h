// The page's charts as inline SVG: no script, no external file, drawn by any browser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/core/summary.h"

namespace kestrel::report {

struct Bar {
  std::uint64_t value = 0;
  std::string label;    // under the axis; empty for none
  std::string tooltip;  // shown on hover
  std::string link;     // the bar links here when not empty
};

// A bar chart of counts with a labelled count axis.
std::string bar_chart(std::string_view title, const std::vector<Bar>& bars);

// Distance over the day: per minute, a stroke from the nearest to the farthest distance, on
// one axis for every day: 00:00 to 24:00 across, 0 to farthest (centimetres) up.
std::string distance_chart(std::string_view title, const std::vector<MinuteRange>& minutes,
                           std::uint32_t farthest);

// A step of 1, 2 or 5 times a power of ten that divides span into about ticks steps.
double nice_step(double span, int ticks);

}  // namespace kestrel::report
