#include "report/core/svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "report/core/markup.h"

namespace kestrel::report {

namespace {

constexpr double width = 560;
constexpr double height = 220;
constexpr double left = 52;
constexpr double right = 24;
constexpr double top = 28;
constexpr double bottom = 34;
constexpr double widest_bar = 40;
constexpr double shortest_stroke = 3;
constexpr double plot_width = width - left - right;
constexpr double plot_height = height - top - bottom;
constexpr int y_ticks = 4;

std::string number(double value, int decimals = 1) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string open_svg(std::string_view title) {
  return start_tag("svg", {{"xmlns", "http://www.w3.org/2000/svg"},
                           {"class", "chart"},
                           {"viewBox", "0 0 " + number(width) + ' ' + number(height)},
                           {"width", number(width)},
                           {"height", number(height)},
                           {"role", "img"},
                           {"aria-label", std::string(title)}}) +
         text_element("text", {{"class", "title"}, {"x", number(left)}, {"y", "16"}}, title);
}

// Horizontal grid lines with their labels, for values 0..top_value in steps of step.
std::string value_axis(double top_value, double step, int decimals) {
  std::string svg;
  for (double value = 0; value <= top_value + step / 2; value += step) {
    double y = top + plot_height * (1 - value / top_value);
    svg += empty_element("line", {{"class", "grid"},
                                  {"x1", number(left)},
                                  {"x2", number(left + plot_width)},
                                  {"y1", number(y)},
                                  {"y2", number(y)}});
    svg += text_element("text", {{"class", "y"}, {"x", number(left - 6)}, {"y", number(y + 4)}},
                        number(value, decimals));
  }
  return svg;
}

std::string x_label(double x, std::string_view text) {
  return text_element(
      "text", {{"class", "x"}, {"x", number(x)}, {"y", number(top + plot_height + 16)}}, text);
}

}  // namespace

double nice_step(double span, int ticks) {
  if (!(span > 0)) return 1;
  double raw = span / ticks;
  double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (double multiple : {1.0, 2.0, 5.0}) {
    if (multiple * magnitude >= raw) return multiple * magnitude;
  }
  return 10 * magnitude;
}

std::string bar_chart(std::string_view title, const std::vector<Bar>& bars) {
  std::uint64_t highest = 0;
  for (const Bar& bar : bars) highest = std::max(highest, bar.value);
  double step = std::max(1.0, nice_step(static_cast<double>(highest), y_ticks));
  double top_value = step * std::max(1.0, std::ceil(static_cast<double>(highest) / step));

  std::string svg = open_svg(title) + value_axis(top_value, step, 0);
  double slot = plot_width / static_cast<double>(std::max<std::size_t>(bars.size(), 1));
  double bar_width = std::clamp(slot * 0.8, 1.0, widest_bar);
  for (std::size_t i = 0; i < bars.size(); ++i) {
    const Bar& bar = bars[i];
    double x = left + slot * static_cast<double>(i);
    if (!bar.label.empty()) svg += x_label(x + slot / 2, bar.label);
    if (bar.value == 0) continue;
    double bar_height = plot_height * static_cast<double>(bar.value) / top_value;
    std::string rect = element("rect",
                               {{"class", "bar"},
                                {"x", number(x + (slot - bar_width) / 2)},
                                {"y", number(top + plot_height - bar_height)},
                                {"width", number(bar_width)},
                                {"height", number(bar_height)}},
                               text_element("title", {}, bar.tooltip));
    svg += bar.link.empty() ? rect : element("a", {{"href", bar.link}}, rect);
  }
  return svg + "</svg>";
}

std::string distance_chart(std::string_view title, const std::vector<MinuteRange>& minutes,
                           std::uint32_t farthest) {
  double metres = std::max<std::uint32_t>(farthest, 1) / 100.0;
  double step = nice_step(metres, y_ticks);
  double top_value = step * std::max(1.0, std::ceil(metres / step));
  int decimals = step >= 1 ? 0 : step >= 0.1 ? 1 : 2;

  std::string svg = open_svg(title) + value_axis(top_value, step, decimals);
  double span = minutes_per_day;
  for (int hour = 0; hour <= 24; hour += 3) {
    svg +=
        x_label(left + plot_width * hour * 60 / span, iso_time(TimeOfDay{hour, 0, 0}).substr(0, 5));
  }
  auto y_of = [&](std::uint32_t centimetres) {
    return top + plot_height * (1 - std::min(centimetres / 100.0, top_value) / top_value);
  };
  std::string path;
  for (int minute = 0; minute < static_cast<int>(minutes.size()); ++minute) {
    const MinuteRange& range = minutes[minute];
    if (range.empty()) continue;
    double x = left + plot_width * (minute + 0.5) / span;
    // Never flat, so a minute with a single distance still shows.
    double y_near = y_of(range.nearest) + shortest_stroke / 2;
    double y_far = std::min(y_of(range.farthest), y_near - shortest_stroke);
    path += 'M' + number(x) + ' ' + number(y_near) + 'V' + number(y_far);
  }
  if (!path.empty()) {
    svg += empty_element("path", {{"class", "range"},
                                  {"stroke-width", number(std::max(2.5, plot_width / span))},
                                  {"d", path}});
  }
  return svg + "</svg>";
}

}  // namespace kestrel::report
