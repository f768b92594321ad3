#include "report/files.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <tuple>

#include "tagsheet/format.h"

namespace kestrel::report {

namespace fs = std::filesystem;

namespace {

using tagsheet::file_prefix;
using tagsheet::file_suffix;

bool is_tagsheet_name(std::string_view name) {
  return name.size() >= file_prefix.size() + file_suffix.size() &&
         name.substr(0, file_prefix.size()) == file_prefix &&
         name.substr(name.size() - file_suffix.size()) == file_suffix;
}

}  // namespace

std::string tagsheet_names() { return std::string(file_prefix) + "*" + std::string(file_suffix); }

std::vector<TagsheetFile> find_tagsheets(const std::string& folder) {
  std::vector<TagsheetFile> found;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (!is_tagsheet_name(name) || !entry.is_regular_file()) continue;
    std::string_view date_text(name);
    date_text = date_text.substr(file_prefix.size(),
                                 date_text.size() - file_prefix.size() - file_suffix.size());
    found.push_back(TagsheetFile{entry.path().string(),
                                 entry.path().lexically_relative(folder).string(),
                                 parse_date(date_text), entry.file_size()});
  }
  std::sort(found.begin(), found.end(), [](const TagsheetFile& a, const TagsheetFile& b) {
    auto key = [](const TagsheetFile& f) {
      return std::make_tuple(!f.date, f.date ? f.date->key() : 0, std::cref(f.path));
    };
    return key(a) < key(b);
  });
  return found;
}

}  // namespace kestrel::report
