// One start of the logger as its tagsheet records it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "report/core/clock_check.h"
#include "report/core/fields.h"
#include "report/core/parser.h"

namespace kestrel::report {

struct RunRecord {
  std::string date;  // the start date: the tagsheet's date, as ISO 8601 when it is one
  std::string file;  // the tagsheet, relative to the folder read
  Header header;
  std::optional<std::string> stop;  // the stop line's text; none when the run ended without one
  std::uint64_t rows = 0;           // rows after this header, including any after its stop line
  std::optional<Moment> start;      // the tagsheet's date and the header's time, when both read
  std::optional<Moment> last_row;
  ClockFlags clock;

  // The serial number without the line end its file holds.
  std::string_view serial_number() const {
    std::string_view serial = header.serial;
    while (!serial.empty() && (serial.back() == '\n' || serial.back() == '\r')) {
      serial.remove_suffix(1);
    }
    return serial;
  }
};

}  // namespace kestrel::report
