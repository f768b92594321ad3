#include "report/files.h"

#include <filesystem>

namespace kestrel::report {

namespace fs = std::filesystem;

std::vector<TagsheetFile> find_tagsheets(const std::string& folder) {
  std::vector<TagsheetFile> found;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (!is_tagsheet_name(name) || !entry.is_regular_file()) continue;
    found.push_back(TagsheetFile{entry.path().string(),
                                 entry.path().lexically_relative(folder).string(),
                                 date_in_name(name), entry.file_size()});
  }
  std::vector<TagsheetFile> ordered;
  for (size_t at : reading_order(found)) {
    ordered.push_back(std::move(found[at]));
  }
  return ordered;
}

}  // namespace kestrel::report
