// The tagsheets among the files of a folder, by their names, and the order they are read in.
// Knows no file system, so the page uses it on the files a browser hands over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report/core/fields.h"

namespace kestrel::report {

struct TagsheetFile {
  std::string path;          // as found below the folder
  std::string relative;      // relative to the folder
  std::optional<Date> date;  // from the name Non-Tag-DD-MM-YYYY.txt
  std::uint64_t size = 0;
};

// The tagsheets' names as a shell pattern: Non-Tag-*.txt.
std::string tagsheet_names();

// Whether a file's name (without its folders) is a tagsheet's.
bool is_tagsheet_name(std::string_view name);

// The date a tagsheet's name holds, if it holds one.
std::optional<Date> date_in_name(std::string_view name);

// The positions of files in the order they are read: by date (files whose name holds no date
// last), then by relative path.
std::vector<std::size_t> reading_order(const std::vector<TagsheetFile>& files);

}  // namespace kestrel::report
