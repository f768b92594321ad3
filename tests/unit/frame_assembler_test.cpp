#include "radar/frame_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

using Results = std::vector<std::string>;

// The evaluations of a byte stream, each "accepted COUNT" or "rejected".
Results feed(FrameAssembler& frames, const std::vector<std::uint8_t>& bytes) {
  Results results;
  for (std::uint8_t byte : bytes) {
    const Evaluation e = frames.feed(byte);
    if (e.verdict == Evaluation::accepted) results.push_back("accepted " + std::to_string(e.count));
    if (e.verdict == Evaluation::rejected) results.push_back("rejected");
  }
  return results;
}

Results feed(const std::vector<std::uint8_t>& bytes) {
  FrameAssembler frames;
  return feed(frames, bytes);
}

TEST(FrameAssembler, Streams) {
  const std::pair<std::vector<std::uint8_t>, Results> cases[] = {
      // The radar's example frame; a second end marker evaluates the slots again.
      {{0xAA, 0xAA, 0x0C, 0x07, 0, 0, 0x01, 0x2C, 0, 0x02, 0xBC, 0, 0x55, 0x55},
       {"accepted 300", "accepted 300"}},
      {{0x55}, {"rejected"}},
      // Filler and line feed are dropped outside the payload.
      {{0x0A, 0x0C, 0xAA, 0x07, 0, 0, 0x01, 0x2C, 0, 0x02, 0xBC, 0, 0x0A, 0xAA, 0x55},
       {"accepted 300"}},
      // 01 07 leaves 7 in slot 1; 0C puts 12 in slot 0, but slots 4/5 were never filled.
      {{0x01, 0x07, 0x55, 0x0C, 0x55}, {"rejected", "rejected"}},
      // Slots are never cleared: the same short frame after a full one reuses its distance.
      {{0x0C, 0x07, 0, 0, 0x01, 0x2C, 0, 0, 0, 0, 0x55, 0x01, 0x07, 0x55, 0x0C, 0x55},
       {"accepted 300", "rejected", "accepted 300"}},
      // Without the header a 0x55 ends the frame early; the rest starts again at slot 0.
      {{0x0C, 0x08, 0, 0, 0x55, 0x01, 0x2C, 0x55}, {"rejected", "rejected"}},
  };
  for (const auto& [bytes, results] : cases) EXPECT_EQ(feed(bytes), results);
}

// Once slots 0 and 1 hold 12 and 7, the next eight bytes are data whatever
// their value; after them bytes are classed by value again.
TEST(FrameAssembler, PayloadBytesEqualToMarkersAreKept) {
  for (const auto& [high, low] : {std::pair<std::uint8_t, std::uint8_t>{0x01, 0x0A},
                                  {0x0A, 0xAA},
                                  {0x55, 0x55},
                                  {0xAA, 0x55}}) {
    FrameAssembler frames;
    EXPECT_EQ(feed(frames, {0x0C, 0x07, 0x55, 0x0A, high, low, 0xAA, 0x55, 0x0A, 0x55, 0x0A, 0x55}),
              Results{"accepted " + std::to_string(high * 256 + low)});
    EXPECT_EQ(frames.index(), 0u);
  }
  EXPECT_EQ(feed({0x0C, 0x07, 0, 0, 0x01, 0x0A, 0, 0, 0, 0, 0x55}), Results{"accepted 266"});
}

TEST(FrameAssembler, AnEleventhDataByteIsDroppedAndNothingIsWrittenPastTenSlots) {
  FrameAssembler frames;
  feed(frames, {0x0C, 0x07, 2, 3, 4, 5, 6, 7, 8, 9, 0x33, 0x44});
  EXPECT_EQ(frames.index(), 10u);
  EXPECT_EQ(frames.slot(9), 9);
  EXPECT_EQ(frames.slot(0), 0x0C);
  EXPECT_EQ(feed(frames, {0x55}), Results{"accepted 1029"});
}

}  // namespace
}  // namespace kestrel
