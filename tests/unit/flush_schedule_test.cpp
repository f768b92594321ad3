#include "platform/flush_schedule.h"

#include <gtest/gtest.h>

#include <random>

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;
const FlushSchedule::Time t0{};  // any reading of the monotonic clock

TEST(FlushSchedule, ALoneWriteIsDueAtOnceAndNothingWrittenIsNeverDue) {
  FlushSchedule schedule(1s);
  EXPECT_EQ(schedule.next_due(), std::nullopt);
  EXPECT_EQ(schedule.take_due(t0), Names{});
  schedule.written("sheet");
  EXPECT_LE(schedule.next_due(), t0);
  EXPECT_EQ(schedule.take_due(t0), Names{"sheet"});
  EXPECT_EQ(schedule.next_due(), std::nullopt);
  EXPECT_EQ(schedule.take_due(t0 + 5s), Names{});

  schedule.written("sheet");  // a second after the last flush: at once again
  EXPECT_EQ(schedule.take_due(t0 + 1s), Names{"sheet"});
}

TEST(FlushSchedule, WritesWithinASecondOfAFlushWaitForTheSecondToPass) {
  FlushSchedule schedule(1s);
  schedule.written("sheet");
  ASSERT_EQ(schedule.take_due(t0), Names{"sheet"});
  schedule.written("sheet");
  schedule.written("other");
  schedule.written("sheet");
  EXPECT_EQ(schedule.next_due(), t0 + 1s);
  EXPECT_EQ(schedule.take_due(t0 + 999ms), Names{});
  EXPECT_EQ(schedule.take_due(t0 + 1s), (Names{"sheet", "other"}));
  schedule.written("sheet");
  EXPECT_EQ(schedule.next_due(), t0 + 2s);
}

TEST(FlushSchedule, TakingAllFlushesNowAndCountsAsAFlush) {
  FlushSchedule schedule(1s);
  EXPECT_EQ(schedule.take_all(t0), Names{});
  schedule.written("sheet");
  ASSERT_EQ(schedule.take_due(t0), Names{"sheet"});
  schedule.written("sheet");
  EXPECT_EQ(schedule.take_all(t0 + 100ms), Names{"sheet"});
  schedule.written("sheet");
  EXPECT_EQ(schedule.next_due(), t0 + 1100ms);
}

// Detections at random moments, up to 50 a second with pauses, and a waiter
// that wakes when the next flush falls due: flushes are a second apart or
// more, no write waits more than a second, and nothing is flushed unwritten.
TEST(FlushSchedule, BurstsCostOneFlushASecondAndNoWriteWaitsLonger) {
  std::mt19937 random(12);
  FlushSchedule schedule(1s);
  std::vector<FlushSchedule::Time> flushes;
  std::vector<FlushSchedule::Time> unflushed;  // writes since the last flush
  auto flush_at = [&](FlushSchedule::Time now, const Names& taken) {
    if (taken.empty()) return;
    EXPECT_EQ(taken, Names{"sheet"});
    ASSERT_FALSE(unflushed.empty()) << "a flush with nothing written";
    if (!flushes.empty()) {
      EXPECT_GE(now - flushes.back(), 1s);
    }
    for (FlushSchedule::Time written : unflushed) EXPECT_LE(now - written, 1s);
    flushes.push_back(now);
    unflushed.clear();
  };
  FlushSchedule::Time now = t0;
  for (int write = 0; write < 2000; ++write) {
    const bool pause = random() % 40 == 0;
    const auto gap = std::chrono::milliseconds(pause ? 500 + random() % 3000 : random() % 40);
    while (schedule.next_due() && *schedule.next_due() <= now + gap) {
      const FlushSchedule::Time due = std::max(*schedule.next_due(), now);
      flush_at(due, schedule.take_due(due));
    }
    now += gap;
    schedule.written("sheet");
    unflushed.push_back(now);
    flush_at(now, schedule.take_due(now));
  }
  EXPECT_LT(flushes.size(), 2000u / 10);
}

}  // namespace
}  // namespace kestrel
