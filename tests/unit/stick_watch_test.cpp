#include "platform/stick_watch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

struct Watched {
  TempDir media;
  StickWatch::Clock::time_point now = StickWatch::Clock::now();
  StickWatch watch{media.path, [this] { return now; }};
  void appear(const std::string& name) {
    ::mkdir((media / name).c_str(), 0755);
    watch.take_changes();
  }
};

TEST(StickWatch, ALookFallsDueOnceAfterTheStartsQuiet) {
  Watched w;
  EXPECT_GE(w.watch.descriptor(), 0);
  EXPECT_EQ(w.watch.due_in_ms(), 5000);
  w.now += 4999ms;
  EXPECT_EQ(w.watch.due_in_ms(), 1);
  EXPECT_FALSE(w.watch.look_now());
  w.now += 1ms;
  EXPECT_EQ(w.watch.due_in_ms(), 0);
  EXPECT_TRUE(w.watch.look_now());
  EXPECT_FALSE(w.watch.look_now());
  EXPECT_EQ(w.watch.due_in_ms(), -1) << "nothing waits until something appears";
}

TEST(StickWatch, SomethingThatAppearsIsLookedForAfterTheQuietThatFollows) {
  Watched w;
  w.now += 10s;
  ASSERT_TRUE(w.watch.look_now());
  w.watch.take_changes();
  EXPECT_EQ(w.watch.due_in_ms(), -1) << "nothing changed";
  w.appear("STICK");
  EXPECT_EQ(w.watch.due_in_ms(), 5000) << "a mount point is given time to be mounted on";
  w.now += 5s;
  EXPECT_TRUE(w.watch.look_now());
}

TEST(StickWatch, BytesPutTheLookOff) {
  Watched w;
  w.appear("STICK");
  w.now += 3s;
  w.watch.heard();
  EXPECT_EQ(w.watch.silence(), 0s);
  w.now += 4s;
  EXPECT_EQ(w.watch.due_in_ms(), 1000) << "the silence began at the first look after the byte";
  EXPECT_EQ(w.watch.silence(), 4s);
  w.now += 1s;
  EXPECT_TRUE(w.watch.look_now());
}

TEST(StickWatch, AFolderThatCannotBeWatchedNeverCallsForALook) {
  TempDir dir;
  auto now = StickWatch::Clock::now();
  StickWatch watch(dir / "missing", [&] { return now; });
  EXPECT_EQ(watch.descriptor(), -1);
  now += 1h;
  EXPECT_EQ(watch.due_in_ms(), -1);
  EXPECT_FALSE(watch.look_now());
}

}  // namespace
}  // namespace kestrel
