// A one-line progress display on a terminal, redrawn a few times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace kestrel::report {

class Progress {
 public:
  // Shows nothing unless out is a terminal.
  Progress(std::FILE* out, std::uint64_t total_bytes);
  // Cheap enough to call for every line.
  void update(std::uint64_t bytes_done, std::uint64_t rows) {
    if (enabled_ && ++calls_ % check_every == 0) draw(bytes_done, rows);
  }
  // Clears the line.
  void done();

 private:
  static constexpr std::uint64_t check_every = 1 << 16;
  void draw(std::uint64_t bytes_done, std::uint64_t rows);

  std::FILE* out_;
  std::uint64_t total_bytes_;
  bool enabled_;
  std::uint64_t calls_ = 0;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace kestrel::report
