// One start of the logger as its tagsheet records it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "report/fields.h"
#include "report/parser.h"

namespace kestrel::report {

struct RunRecord {
  std::string date;  // the start date: the tagsheet's date, as ISO 8601 when it is one
  std::string file;  // the tagsheet, relative to the folder read
  Header header;
  std::optional<std::string> stop;  // the stop line's text; none when the run ended without one
  uint64_t rows = 0;                // rows after this header, including any after its stop line

  // HH:MM:SS when the header holds a time of day, else the text as written.
  std::string start_time() const {
    auto time = parse_time(header.start_time);
    return time ? iso_time(*time) : header.start_time;
  }
};

}  // namespace kestrel::report
