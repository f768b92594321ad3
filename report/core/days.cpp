#include "report/core/days.h"

#include <algorithm>

#include "report/core/calendar.h"

namespace kestrel::report {

namespace {

struct Span {
  Date from;
  Date to;
};

Date later(Date a, Date b) { return a.key() < b.key() ? b : a; }

std::vector<Span> run_spans(const std::vector<RunRecord>& runs) {
  std::vector<Span> spans;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const RunRecord& run = runs[i];
    if (!run.start) {
      continue;
    }
    // Dates the clock got wrong prove no span: such a run covers its start day only (its
    // rows mark their own days).
    Date to = run.start->date;
    if (run.last_row && run.clock.ok()) {
      to = later(to, run.last_row->date);
    }
    const RunRecord* next = i + 1 < runs.size() ? &runs[i + 1] : nullptr;
    if (run.stop && run.clock.ok() && next != nullptr && next->start && next->clock.ok() &&
        next->start->seconds() >= run.start->seconds()) {
      to = later(to, next->start->date);
    }
    spans.push_back(Span{run.start->date, to});
  }
  return spans;
}

}  // namespace

DayMap::DayMap(const std::vector<RunRecord>& runs, const Summary& summary) {
  std::vector<Span> running = run_spans(runs);
  std::vector<Span> spans = running;
  const DaySet& seen = summary.detection_days();
  if (!seen.empty()) {
    spans.push_back(Span{seen.first(), seen.last()});
  }
  if (spans.empty()) {
    return;
  }
  first_ = spans.front().from;
  last_ = spans.front().to;
  for (const Span& span : spans) {
    first_ = span.from.key() < first_.key() ? span.from : first_;
    last_ = later(last_, span.to);
  }
  first_day_ = day_number(first_);
  states_.assign(static_cast<std::size_t>(day_number(last_) - first_day_ + 1), DayState::no_run);
  for (const Span& span : running) {
    mark(span.from, span.to, DayState::running);
  }
  seen.for_each([this](Date date) { mark(date, date, DayState::detections); });
}

void DayMap::mark(Date from, Date to, DayState state) {
  std::int64_t end = day_number(to) - first_day_;
  for (std::int64_t at = day_number(from) - first_day_; at <= end; ++at) {
    states_[static_cast<std::size_t>(at)] = state;
  }
}

DayState DayMap::state(Date date) const {
  std::int64_t at = day_number(date) - first_day_;
  if (at < 0 || at >= static_cast<std::int64_t>(states_.size())) {
    return DayState::no_run;
  }
  return states_[static_cast<std::size_t>(at)];
}

std::uint64_t DayMap::count(DayState state) const {
  return static_cast<std::uint64_t>(std::count(states_.begin(), states_.end(), state));
}

}  // namespace kestrel::report
