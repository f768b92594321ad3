#pragma once

#include "platform/ports.h"

namespace kestrel {

class PosixFiles : public Files, public FileEnds {
 public:
  std::string read_text(const std::string& path) override;
  void append(const std::string& path, const std::string& text) override;
  void replace(const std::string& path, const std::string& text) override;
  std::vector<std::string> list(const std::string& directory) override;
  bool is_mount_point(const std::string& path) override;
  std::optional<FileEnd> end_of(const std::string& path, std::size_t length) override;
  void cut(const std::string& path, std::uint64_t length) override;
};

// Brings what was written to the files to the storage, together. A file that
// is gone, or a path that names no regular file, has nothing to bring.
void flush_to_storage(const std::vector<std::string>& paths);

}  // namespace kestrel
