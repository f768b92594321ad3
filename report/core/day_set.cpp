#include "report/core/day_set.h"

namespace kestrel::report {

namespace {

constexpr size_t days_per_month = 31;
constexpr size_t months_per_year = 12;

}  // namespace

size_t DaySet::slot(Date date) {
  return (static_cast<size_t>(date.year) * months_per_year + static_cast<size_t>(date.month - 1)) *
             days_per_month +
         static_cast<size_t>(date.day - 1);
}

Date DaySet::date_in(size_t slot) {
  int day = static_cast<int>(slot % days_per_month) + 1;
  size_t month = slot / days_per_month;
  return Date{static_cast<int>(month / months_per_year),
              static_cast<int>(month % months_per_year) + 1, day};
}

void DaySet::insert(Date date) {
  size_t at = slot(date);
  if (at >= slots_.size()) slots_.resize(at + 1);
  if (slots_[at]) return;
  slots_[at] = true;
  first_ = size_ == 0 || date.key() < first_.key() ? date : first_;
  last_ = size_ == 0 || last_.key() < date.key() ? date : last_;
  ++size_;
}

}  // namespace kestrel::report
