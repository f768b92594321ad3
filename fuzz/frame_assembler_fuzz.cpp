// Feeds a random byte stream to the frame assembler and to a small model of
// the receiver written here independently, byte by byte: the verdicts, the
// distance counts, the fill index and all ten slots must agree, the index
// never passes ten, and every accepted frame's distance text must match the
// C library's "%.2f" of the same double. Built with _GLIBCXX_ASSERTIONS, so an
// index past the ten slots aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "radar/distance.h"
#include "radar/frame_assembler.h"

namespace {

// The receiver as a table of slots: -1 is a slot that never got a byte.
struct Model {
  int slot[10] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
  int fill = 0;

  bool header_seen() const { return slot[0] == 0x0C && slot[1] == 0x07; }

  // Returns -2 for no evaluation, -1 for a rejected frame, else the count.
  long take(std::uint8_t byte) {
    const bool payload = fill >= 2 && fill <= 9 && header_seen();
    const bool marker = byte == 0x55 || byte == 0xAA || byte == 0x0A;
    if (payload || !marker) {
      if (fill < 10) slot[fill++] = byte;
      return -2;
    }
    if (byte != 0x55) return -2;
    fill = 0;
    if (!header_seen() || slot[4] < 0 || slot[5] < 0) return -1;
    return slot[4] * 256L + slot[5];
  }
};

[[noreturn]] void mismatch(const char* what, std::size_t at) {
  std::fprintf(stderr, "frame assembler and model differ in %s at byte %zu\n", what, at);
  std::abort();
}

std::string printf_text(double dist) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", dist);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestrel::FrameAssembler frames;
  Model model;
  for (std::size_t at = 0; at < size; ++at) {
    const kestrel::Evaluation got = frames.feed(data[at]);
    const long expected = model.take(data[at]);
    if (expected == -2 && got.verdict != kestrel::Evaluation::none) mismatch("verdict", at);
    if (expected == -1 && got.verdict != kestrel::Evaluation::rejected) mismatch("verdict", at);
    if (expected >= 0) {
      if (got.verdict != kestrel::Evaluation::accepted || got.count != expected) {
        mismatch("accepted count", at);
      }
      const double dist = kestrel::distance_of(got.count);
      if (kestrel::distance_text(dist) != printf_text(dist)) mismatch("distance text", at);
    }
    if (frames.index() > kestrel::frame_slots || frames.index() != std::size_t(model.fill)) {
      mismatch("fill index", at);
    }
    for (std::size_t k = 0; k < kestrel::frame_slots; ++k) {
      const auto slot = frames.slot(k);
      if ((slot ? *slot : -1) != model.slot[k]) mismatch("slots", at);
    }
  }
  return 0;
}
