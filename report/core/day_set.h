// A set of dates held as one bit for every date a tagsheet can write (years 0000 to 9999):
// at most 457 KB, however many days it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "report/core/calendar.h"

namespace kestrel::report {

class DaySet {
 public:
  void insert(Date date);
  bool empty() const { return size_ == 0; }
  std::uint64_t size() const { return size_; }
  // The earliest and the latest date held; only when not empty.
  Date first() const { return first_; }
  Date last() const { return last_; }

  // Calls visit(Date) for every date held, in date order.
  template <typename Visit>
  void for_each(Visit visit) const {
    if (empty()) return;
    for (std::size_t at = slot(first_); at <= slot(last_); ++at) {
      if (slots_[at]) visit(date_in(at));
    }
  }

 private:
  // The days since 0000-01-01.
  static std::size_t slot(Date date);
  static Date date_in(std::size_t slot);

  std::vector<bool> slots_;
  std::uint64_t size_ = 0;
  Date first_;
  Date last_;
};

}  // namespace kestrel::report
