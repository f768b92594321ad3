#include "platform/watched_files.h"

namespace kestrel {

std::vector<std::string> WatchedFiles::list(const std::string& directory) {
  if (directory != watch_.folder()) return files_.list(directory);
  if (watch_.changed()) {
    kept_ = false;
    watch_.arm();
  }
  if (kept_) return names_;
  std::vector<std::string> names = files_.list(directory);
  kept_ = watch_.complete();
  if (kept_) names_ = names;
  return names;
}

}  // namespace kestrel
