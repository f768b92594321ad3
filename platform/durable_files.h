#pragma once

#include <chrono>
#include <functional>

#include "platform/flush_schedule.h"
#include "platform/idle_work.h"
#include "platform/ports.h"

namespace kestrel {

inline constexpr std::chrono::seconds flush_interval{1};

// The files as `files` keeps them, with what is appended or replaced brought
// to the storage on FlushSchedule's terms: at once when the last flush is a
// second old, else a second after it. A power cut loses at most the last
// second's records, and a burst of detections costs one flush a second.
//
// An append only marks its file. The flush runs after a replace (the last
// write of a detection, so its row and its last-seen time reach the storage
// in one flush), whenever the radar link asks for bytes or wakes for the
// flush (run_due), before a command (flush_waiting: a command may be the
// export or the restart), and when the run ends.
class DurableFiles : public Files, public IdleWork {
 public:
  using Clock = std::function<FlushSchedule::Time()>;
  // Brings the files to the storage, together.
  using Flush = std::function<void(const std::vector<std::string>& paths)>;

  DurableFiles(Files& files, Flush flush, Clock now = std::chrono::steady_clock::now)
      : files_(files), flush_(std::move(flush)), now_(std::move(now)), schedule_(flush_interval) {}
  // Flushes what still waits; a failure then is left unreported.
  ~DurableFiles() override;
  DurableFiles(const DurableFiles&) = delete;
  DurableFiles& operator=(const DurableFiles&) = delete;

  std::string read_text(const std::string& path) override { return files_.read_text(path); }
  void append(const std::string& path, const std::string& text) override;
  void replace(const std::string& path, const std::string& text) override;
  std::vector<std::string> list(const std::string& directory) override {
    return files_.list(directory);
  }
  bool is_mount_point(const std::string& path) override { return files_.is_mount_point(path); }

  int run_due() override;
  // Flushes every waiting file now, due or not.
  void flush_waiting();

 private:
  void flush(const std::vector<std::string>& paths);

  Files& files_;
  Flush flush_;
  Clock now_;
  FlushSchedule schedule_;
};

}  // namespace kestrel
