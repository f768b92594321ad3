#include "tagsheet/last_seen.h"

#include "platform/board.h"

namespace kestrel {

std::string read_last_seen(Files& files) { return files.read_text(board::last_seen_file); }

void record_last_seen(Files& files, const std::string& tt) {
  files.replace(board::last_seen_file, tt);
}

void reset_last_seen(Files& files) { files.replace(board::last_seen_file, " "); }

}  // namespace kestrel
