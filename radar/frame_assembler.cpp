#include "radar/frame_assembler.h"

namespace kestrel {
namespace {

constexpr std::uint8_t end_marker = 0x55;
constexpr std::uint8_t filler = 0xAA;
constexpr std::uint8_t line_feed = 0x0A;
constexpr std::uint8_t header_first = 12;
constexpr std::uint8_t header_second = 7;

}  // namespace

Evaluation FrameAssembler::feed(std::uint8_t byte) {
  if (in_payload()) {
    store(byte);
    return {};
  }
  if (byte == filler || byte == line_feed) return {};
  if (byte != end_marker) {
    store(byte);
    return {};
  }
  Evaluation result = evaluate();
  i_ = 0;
  return result;
}

bool FrameAssembler::in_payload() const {
  return i_ >= 2 && i_ < frame_slots && a_[0] == header_first && a_[1] == header_second;
}

void FrameAssembler::store(std::uint8_t x) {
  if (i_ >= frame_slots) return;
  a_[i_] = x;
  ++i_;
}

Evaluation FrameAssembler::evaluate() const {
  if (a_[0] != header_first || a_[1] != header_second || !a_[4] || !a_[5]) {
    return {Evaluation::rejected, 0};
  }
  return {Evaluation::accepted, *a_[4] * 256u + *a_[5]};
}

}  // namespace kestrel
