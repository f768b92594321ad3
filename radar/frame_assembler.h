#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace kestrel {

constexpr std::size_t frame_slots = 10;

struct Evaluation {
  enum Verdict { none, accepted, rejected };
  Verdict verdict = none;
  unsigned count = 0;  // the distance count of an accepted frame
};

// Sorts the radar's bytes into ten frame slots and evaluates the frame at
// every end marker 0x55. 0xAA and 0x0A are dropped, every other byte is data.
//
// Once the first two data bytes after an end marker are 12 and 7 (a frame
// header), the next eight bytes are payload and fill slots 2 to 9 whatever
// their value, so a distance byte of 0x0A, 0x55 or 0xAA is kept.
//
// A data byte that finds all ten slots filled is dropped: the frame that is
// being assembled keeps its first ten bytes. A frame with the header whose
// distance slots were never filled (possible only before the first full frame)
// is rejected.
class FrameAssembler {
 public:
  Evaluation feed(std::uint8_t byte);

  std::size_t index() const { return i_; }
  std::optional<std::uint8_t> slot(std::size_t k) const { return a_.at(k); }

 private:
  bool in_payload() const;
  void store(std::uint8_t x);  // x: a received byte's value
  Evaluation evaluate() const;

  std::array<std::optional<std::uint8_t>, frame_slots> a_{};  // a: the slots, empty at start
  std::size_t i_ = 0;  // i: the next slot to fill, 0 again at every end marker
};

}  // namespace kestrel
