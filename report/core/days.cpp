#include "report/core/days.h"

#include <limits>
#include <utility>

namespace kestrel::report {

DayMap::DayMap(const std::vector<RunRecord>& runs, const Summary& summary) {
  std::vector<std::pair<std::int64_t, std::int64_t>> spans;  // each run's first and last day
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const RunRecord& run = runs[i];
    if (!run.start) continue;
    std::int64_t from = day_number(run.start->date);
    std::int64_t to = from;
    // Dates the clock got wrong prove no span: such a run covers its start day only (its
    // rows mark their own days).
    if (run.last_row && run.clock.ok()) to = std::max(to, day_number(run.last_row->date));
    const RunRecord* next = i + 1 < runs.size() ? &runs[i + 1] : nullptr;
    if (run.stop && run.clock.ok() && next != nullptr && next->start && next->clock.ok() &&
        next->start->seconds() >= run.start->seconds()) {
      to = std::max(to, day_number(next->start->date));
    }
    spans.emplace_back(from, to);
  }
  const DaySet& seen = summary.detection_days();
  std::int64_t first =
      seen.empty() ? std::numeric_limits<std::int64_t>::max() : day_number(seen.first());
  std::int64_t last =
      seen.empty() ? std::numeric_limits<std::int64_t>::min() : day_number(seen.last());
  for (auto [from, to] : spans) {
    first = std::min(first, from);
    last = std::max(last, to);
  }
  if (first > last) return;  // no run with a start, no detection
  first_day_ = first;
  states_.assign(static_cast<std::size_t>(last - first + 1), DayState::no_run);
  for (auto [from, to] : spans) {
    std::fill(states_.begin() + (from - first_day_), states_.begin() + (to - first_day_ + 1),
              DayState::running);
  }
  seen.for_each(
      [this](Date date) { states_[day_number(date) - first_day_] = DayState::detections; });
}

DayState DayMap::state(Date date) const {
  std::int64_t at = day_number(date) - first_day_;
  if (at < 0 || at >= static_cast<std::int64_t>(states_.size())) return DayState::no_run;
  return states_[static_cast<std::size_t>(at)];
}

}  // namespace kestrel::report
