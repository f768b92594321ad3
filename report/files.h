// Finds the tagsheets below a folder: every Non-Tag-*.txt, in date order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "report/fields.h"

namespace kestrel::report {

struct TagsheetFile {
  std::string path;          // as found below the folder
  std::string relative;      // relative to the folder
  std::optional<Date> date;  // from the name Non-Tag-DD-MM-YYYY.txt
  uint64_t size = 0;
};

// The tagsheets' names as a shell pattern: Non-Tag-*.txt.
std::string tagsheet_names();

// Ordered by date (files whose name holds no date last), then by path. Throws
// std::filesystem::filesystem_error when the folder cannot be read.
std::vector<TagsheetFile> find_tagsheets(const std::string& folder);

}  // namespace kestrel::report
