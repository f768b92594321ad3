// The tagsheets among the files of a folder, by their names, and the order they are read in.
// Knows no file system, so the page uses it on the files a browser hands over.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "report/core/fields.h"
#include "tagsheet/format.h"

namespace kestrel::report {

struct TagsheetFile {
  std::string path;          // as found below the folder
  std::string relative;      // relative to the folder
  std::optional<Date> date;  // from the name Non-Tag-DD-MM-YYYY.txt
  std::uint64_t size = 0;
};

// The tagsheets' names as a shell pattern: Non-Tag-*.txt.
inline std::string tagsheet_names() {
  return std::string(tagsheet::file_prefix) + "*" + std::string(tagsheet::file_suffix);
}

// Whether a file's name (without its folders) is a tagsheet's.
inline bool is_tagsheet_name(std::string_view name) {
  using tagsheet::file_prefix;
  using tagsheet::file_suffix;
  return name.size() >= file_prefix.size() + file_suffix.size() &&
         name.substr(0, file_prefix.size()) == file_prefix &&
         name.substr(name.size() - file_suffix.size()) == file_suffix;
}

// The date a tagsheet's name holds, if it holds one.
inline std::optional<Date> date_in_name(std::string_view name) {
  std::size_t prefix = tagsheet::file_prefix.size();
  return parse_date(name.substr(prefix, name.size() - prefix - tagsheet::file_suffix.size()));
}

// The positions of files in the order they are read: by date (files whose name holds no date
// last), then by relative path.
inline std::vector<std::size_t> reading_order(const std::vector<TagsheetFile>& files) {
  auto key = [&](std::size_t at) {
    const TagsheetFile& file = files[at];
    return std::make_tuple(!file.date, file.date ? file.date->key() : 0, std::cref(file.relative));
  };
  std::vector<std::size_t> order(files.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
  return order;
}

}  // namespace kestrel::report
