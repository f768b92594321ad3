#pragma once

#include "platform/ports.h"

namespace kestrel {

// The most a text file read whole may hold: a configuration file or the
// last-seen time, which hold a few bytes each. Anything longer (a link to a
// device that never ends) fails rather than filling the memory.
inline constexpr std::size_t text_file_limit = 4096;

// The files behind the ports. A file is used only where it is a regular one,
// and opened without waiting, so that nothing put in its place (a FIFO, a
// device) can block or flood the run. A file written or cut where it stands
// (a tagsheet, the last-seen time of the same length) is taken neither
// through a link in its place nor through one in place of its folder: the
// tagsheets' day folders are open to every account, and a link there would
// have the program write or cut another file. A file replaced whole is made
// afresh beside it and renamed over it, which replaces a link rather than
// following it. A file that is no regular one fails as OsError with the
// message "not a regular file", a text longer than text_file_limit with one
// that says so.
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
