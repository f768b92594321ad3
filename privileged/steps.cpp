#include "privileged/steps.h"

#include <cctype>

#include "platform/board.h"

namespace kestrel::privileged {
namespace {

const std::string tagsheets_folder = board::tagsheets_directory + "/";
const std::string media_folder = board::media_directory + "/";

bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// `path` is `folder` followed by one name that `fits`.
template <typename Fits>
bool names_one_entry(std::string_view path, std::string_view folder, Fits fits) {
  return path.substr(0, folder.size()) == folder && fits(path.substr(folder.size()));
}

bool is_day_folder(std::string_view path) {
  return names_one_entry(path, tagsheets_folder, is_day_name);
}

bool is_mount_point(std::string_view path) {
  return names_one_entry(path, media_folder, is_mount_name);
}

std::optional<Step> start_step(std::string_view name, const Arguments& a) {
  if (name == "find" && a.size() == 3 && a[0] == board::tagsheets_directory && a[1] == "-name" &&
      is_day_name(a[2])) {
    return Step{"/usr/bin/find", a};
  }
  if (name == "mkdir" && a.size() == 1 && is_day_folder(a[0])) return Step{"/usr/bin/mkdir", a};
  if (name == "chmod" && a.size() == 2 && a[0] == "a+r+w" && is_day_folder(a[1])) {
    // Open to every account as before, with the sticky bit: none but the
    // logger's own account may remove or replace what it wrote there.
    return Step{"/usr/bin/chmod", {"a+r+w,+t", a[1]}};
  }
  return std::nullopt;
}

std::optional<Step> export_step(std::string_view name, const Arguments& a) {
  if (name == "rsync" && a.size() == 3 && a[0] == "-avx" && a[1] == tagsheets_folder &&
      is_mount_point(a[2])) {
    return Step{"/usr/bin/rsync", a};
  }
  if (name == "umount" && a.size() == 1 && is_mount_point(a[0])) {
    return Step{"/usr/bin/umount", a, RunAs::root, true};
  }
  if (name == "rm" && a.size() == 2 && a[0] == "-r" && is_mount_point(a[1])) {
    return Step{"/usr/bin/rm", a, RunAs::root, true, true};
  }
  return std::nullopt;
}

}  // namespace

bool is_day_name(std::string_view name) {
  constexpr std::string_view shape = "00-00-0000";
  if (name.size() != shape.size()) return false;
  for (std::size_t k = 0; k < shape.size(); ++k) {
    if (shape[k] == '-' ? name[k] != '-' : !is_digit(name[k])) return false;
  }
  return true;
}

bool is_mount_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos;
}

std::optional<Step> step_for(std::string_view name, const Arguments& arguments) {
  if (auto step = start_step(name, arguments)) return step;
  return export_step(name, arguments);
}

}  // namespace kestrel::privileged
