// Finds the tagsheets below a folder: every Non-Tag-*.txt, in date order.
#pragma once

#include <string>
#include <vector>

#include "report/tagsheet_names.h"

namespace kestrel::report {

// In the order of order_tagsheets(). Throws std::filesystem::filesystem_error when the
// folder cannot be read.
std::vector<TagsheetFile> find_tagsheets(const std::string& folder);

}  // namespace kestrel::report
