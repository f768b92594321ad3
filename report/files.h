// Finds the tagsheets below a folder: every Non-Tag-*.txt, in date order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "report/core/tagsheet_names.h"

namespace kestrel::report {

struct FoundTagsheets {
  std::vector<TagsheetFile> files;  // in the order of reading_order()
  std::uint64_t unreadable_folders = 0;
};

// Throws std::filesystem::filesystem_error when the folder itself cannot be read. A folder
// below it that cannot be read (or not to its end) is skipped with a note on problems, and
// the search goes on. A tagsheet whose type cannot be read is found, for its reader to say
// why it cannot be opened. Links to folders are not followed.
FoundTagsheets find_tagsheets(const std::string& folder, std::FILE* problems);

}  // namespace kestrel::report
