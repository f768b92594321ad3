#pragma once

#include "platform/ports.h"

namespace kestrel {

class PosixFiles : public Files {
 public:
  std::string read_text(const std::string& path) override;
  void append(const std::string& path, const std::string& text) override;
  void replace(const std::string& path, const std::string& text) override;
  std::vector<std::string> list(const std::string& directory) override;
  bool is_mount_point(const std::string& path) override;
};

}  // namespace kestrel
