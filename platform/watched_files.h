#pragma once

#include <string>
#include <vector>

#include "platform/folder_watch.h"
#include "platform/ports.h"

namespace kestrel {

// The files as `files` keeps them, with the listing of one folder (the
// receive cycle's /media/pi, listed for every byte) kept between changes: it
// is listed again only when its FolderWatch reports that something may have
// changed, and every time where the watch cannot tell every change. Each use
// looks at the watch first, after the byte it is taken for has arrived: a
// change made before it, even between two bytes of one read, is reported by
// then. So every use returns what a listing taken then returns, and fails as
// that listing fails (a missing /media/pi ends the run at the same byte).
//
// A listing kept behind the same door, not a door of its own: the receive
// cycle stays as it is, listing for every byte.
class WatchedFiles : public Files {
 public:
  WatchedFiles(Files& files, const std::string& folder) : files_(files), watch_(folder) {}

  std::string read_text(const std::string& path) override { return files_.read_text(path); }
  void append(const std::string& path, const std::string& text) override {
    files_.append(path, text);
  }
  void replace(const std::string& path, const std::string& text) override {
    files_.replace(path, text);
  }
  std::vector<std::string> list(const std::string& directory) override;
  bool is_mount_point(const std::string& path) override { return files_.is_mount_point(path); }

 private:
  Files& files_;
  FolderWatch watch_;
  bool kept_ = false;
  std::vector<std::string> names_;
};

}  // namespace kestrel
