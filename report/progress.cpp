#include "report/progress.h"

#include <unistd.h>

#include <cinttypes>

namespace kestrel::report {

namespace {
using std::chrono::milliseconds;
constexpr milliseconds first_draw_after{500};
constexpr milliseconds redraw_every{250};
}  // namespace

Progress::Progress(std::FILE* out, std::uint64_t total_bytes)
    : out_(out),
      total_bytes_(total_bytes),
      enabled_(::isatty(::fileno(out)) == 1),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

void Progress::draw(std::uint64_t bytes_done, std::uint64_t rows) {
  auto now = std::chrono::steady_clock::now();
  if (now - start_ < first_draw_after || now - last_draw_ < redraw_every) return;
  last_draw_ = now;
  drawn_ = true;
  unsigned percent = total_bytes_ ? static_cast<unsigned>(bytes_done * 100 / total_bytes_) : 100;
  std::fprintf(out_, "\rreading tagsheets: %3u%%, %" PRIu64 " rows\033[K", percent, rows);
  std::fflush(out_);
}

void Progress::done() {
  if (drawn_) std::fprintf(out_, "\r\033[K");
}

}  // namespace kestrel::report
