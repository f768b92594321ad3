#include "report/core/days.h"

#include "report/core/summary.h"

namespace kestrel::report {

DayMap::DayMap(const std::vector<RunRecord>& runs, const Summary& summary)
    : DayMap(summary.detection_days()) {
  auto later = [](Date a, Date b) { return a.key() < b.key() ? b : a; };
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const RunRecord& run = runs[i];
    if (!run.start) continue;
    // Dates the clock got wrong prove no span: such a run covers its start day only (its
    // rows mark their own days).
    Date to = run.start->date;
    if (run.last_row && run.clock.ok()) to = later(to, run.last_row->date);
    const RunRecord* next = i + 1 < runs.size() ? &runs[i + 1] : nullptr;
    if (run.stop && run.clock.ok() && next != nullptr && next->start && next->clock.ok() &&
        next->start->seconds() >= run.start->seconds()) {
      to = later(to, next->start->date);
    }
    for (Date date = run.start->date; date.key() <= to.key(); date = next_day(date)) {
      mark(date, DayState::running);
    }
  }
}

}  // namespace kestrel::report
