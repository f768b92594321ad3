// A fresh folder for one test, below the system's temporary folder ($TMPDIR).
#pragma once

#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace kestrel::testing {

// Removed with everything in it when it goes out of scope.
struct TempDir {
  TempDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "kestrel-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    path = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

}  // namespace kestrel::testing
