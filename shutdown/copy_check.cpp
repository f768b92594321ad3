#include "shutdown/copy_check.h"

#include <cstring>

namespace kestrel {
namespace {

using Finding = CopyCheck::Finding;

bool is_short_copy(Finding finding) {
  return finding == Finding::copy_missing || finding == Finding::copy_failed ||
         finding == Finding::copy_different;
}

// "NAME not copied", "NAME and 2 more not copied".
std::string not_copied(const CopyCheck& check) {
  const std::string more =
      check.not_same > 1 ? " and " + std::to_string(check.not_same - 1) + " more" : "";
  return check.name + more + " not copied";
}

std::string short_copy_reason(const CopyCheck& check) {
  if (check.read_only) return "the stick is read-only (" + not_copied(check) + ")";
  if (check.free_bytes < check.not_copied) {
    return "no space left on the stick (" + not_copied(check) + ")";
  }
  switch (check.finding) {
    case Finding::copy_missing:
      return check.name + " is missing on the stick";
    case Finding::copy_failed:
      return "the stick failed: " + check.name + ": " + std::strerror(check.error);
    default:
      return check.name + " differs on the stick";
  }
}

}  // namespace

std::string seconds_text(std::chrono::milliseconds limit) {
  return std::to_string(std::chrono::ceil<std::chrono::seconds>(limit).count()) + " s";
}

std::string copy_failure(const CopyCheck& check, std::chrono::milliseconds limit) {
  if (check.finding == Finding::unfinished) {
    return "the check of the copy did not end within " + seconds_text(limit);
  }
  if (!check.present) return "the stick went away";
  if (!check.mounted) return "no stick is mounted there";
  if (check.finding == Finding::original_unreadable) {
    return "the board's " + check.name + " cannot be read: " + std::strerror(check.error);
  }
  if (is_short_copy(check.finding)) return short_copy_reason(check);
  return "";
}

}  // namespace kestrel
