#include "report/core/tagsheet_names.h"

#include <algorithm>
#include <numeric>
#include <tuple>

#include "tagsheet/format.h"

namespace kestrel::report {

using tagsheet::file_prefix;
using tagsheet::file_suffix;

std::string tagsheet_names() { return std::string(file_prefix) + "*" + std::string(file_suffix); }

bool is_tagsheet_name(std::string_view name) {
  return name.size() >= file_prefix.size() + file_suffix.size() &&
         name.substr(0, file_prefix.size()) == file_prefix &&
         name.substr(name.size() - file_suffix.size()) == file_suffix;
}

std::optional<Date> date_in_name(std::string_view name) {
  return parse_date(
      name.substr(file_prefix.size(), name.size() - file_prefix.size() - file_suffix.size()));
}

std::vector<std::size_t> reading_order(const std::vector<TagsheetFile>& files) {
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
