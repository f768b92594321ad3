// Runs made field by field, for the report's tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "report/core/run.h"
#include "report/core/text_sink.h"

namespace kestrel::report {

inline RunRecord run_record(std::string date, std::string file, Header header,
                            std::optional<std::string> stop, std::uint64_t rows) {
  RunRecord run;
  run.date = std::move(date);
  run.file = std::move(file);
  run.header = std::move(header);
  run.stop = std::move(stop);
  run.rows = rows;
  return run;
}

}  // namespace kestrel::report
