#include "report/core/day_set.h"

namespace kestrel::report {

namespace {

// Slot 0: 0000-01-01, the first date a tagsheet can write.
const std::int64_t first_day = day_number(Date{0, 1, 1});

}  // namespace

std::size_t DaySet::slot(Date date) {
  return static_cast<std::size_t>(day_number(date) - first_day);
}

Date DaySet::date_in(std::size_t slot) {
  return date_of_day(static_cast<std::int64_t>(slot) + first_day);
}

void DaySet::insert(Date date) {
  std::size_t at = slot(date);
  if (at >= slots_.size()) slots_.resize(at + 1);
  if (slots_[at]) return;
  slots_[at] = true;
  first_ = size_ == 0 || date.key() < first_.key() ? date : first_;
  last_ = size_ == 0 || last_.key() < date.key() ? date : last_;
  ++size_;
}

}  // namespace kestrel::report
