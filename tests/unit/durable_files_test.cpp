#include "platform/durable_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "fakes.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::Log;
using Names = std::vector<std::string>;

// The files of the fakes, a clock the test sets, and flushes logged among the
// file operations as "flush PATH...".
struct Durable {
  Durable() {
    files.emplace(
        fakes, [this](const Names& paths) { flush(paths); }, [this] { return now; });
  }
  void flush(const Names& paths) {
    std::string event = "flush";
    for (const std::string& path : paths) event += " " + path;
    fakes.log.push_back(event);
    if (flush_fails) throw OsError(EIO, paths.front());
  }
  testing::Fakes fakes;
  FlushSchedule::Time now{};
  bool flush_fails = false;
  std::optional<DurableFiles> files;
};

TEST(DurableFiles, ADetectionsRowAndLastSeenTimeReachTheStorageInOneFlush) {
  Durable durable;
  durable.files->append("sheet", "row 1\n");
  durable.files->replace("time", "08-00-01");
  EXPECT_EQ(durable.fakes.log,
            (Log{"append sheet row 1\n", "replace time 08-00-01", "flush sheet time"}));
  EXPECT_EQ(durable.files->run_due(), -1) << "nothing waits";
}

TEST(DurableFiles, DetectionsWithinASecondWaitForItAndTheLinkWakesForThem) {
  Durable durable;
  durable.files->append("sheet", "header\n");
  EXPECT_EQ(durable.files->run_due(), -1);  // the link's first poll
  durable.now += 300ms;
  durable.files->append("sheet", "row 1\n");
  durable.files->replace("time", "08-00-01");
  durable.now += 200ms;
  durable.files->append("sheet", "row 2\n");
  durable.files->replace("time", "08-00-01");
  durable.now += 1ms;
  EXPECT_EQ(durable.files->run_due(), 499) << "milliseconds until the flush falls due";
  durable.now += 498ms + 500us;
  EXPECT_EQ(durable.files->run_due(), 1) << "rounded up, so the wake-up is not early";
  durable.now += 500us;
  EXPECT_EQ(durable.files->run_due(), -1);
  EXPECT_EQ(durable.fakes.log, (Log{"append sheet header\n", "flush sheet", "append sheet row 1\n",
                                    "replace time 08-00-01", "append sheet row 2\n",
                                    "replace time 08-00-01", "flush sheet time"}));
}

TEST(DurableFiles, ACommandOrTheEndOfTheRunFlushesWhatWaits) {
  Durable durable;
  durable.files->append("sheet", "row 1\n");
  durable.files->replace("time", "08-00-01");
  durable.files->append("sheet", "stop");
  durable.files->replace("time", " ");
  durable.files->flush_waiting();  // before the export's first command
  durable.files->flush_waiting();  // nothing waits: nothing is flushed
  EXPECT_EQ(durable.fakes.log,
            (Log{"append sheet row 1\n", "replace time 08-00-01", "flush sheet time",
                 "append sheet stop", "replace time  ", "flush sheet time"}));

  Durable ending;
  ending.files->append("sheet", "row\n");
  ending.files.reset();
  EXPECT_EQ(ending.fakes.log, (Log{"append sheet row\n", "flush sheet"}));
}

TEST(DurableFiles, AFailedFlushEndsTheRunButNotTheEndOfOne) {
  Durable durable;
  durable.flush_fails = true;
  durable.files->append("sheet", "row\n");
  EXPECT_THROW(durable.files->run_due(), OsError);
  durable.files->append("sheet", "row\n");
  EXPECT_NO_THROW(durable.files.reset());
  const Log& log = durable.fakes.log;
  EXPECT_EQ(std::count(log.begin(), log.end(), "flush sheet"), 2);
}

TEST(DurableFiles, OtherOperationsPassThroughUntouched) {
  Durable durable;
  durable.fakes.content["f"] = "text";
  EXPECT_EQ(durable.files->read_text("f"), "text");
  EXPECT_EQ(durable.files->list("/media/pi"), Names{});
  EXPECT_TRUE(durable.files->is_mount_point("/media/pi/X"));
  EXPECT_EQ(durable.fakes.log,
            (Log{"read_text f", "list /media/pi", "is_mount_point /media/pi/X"}));
}

}  // namespace
}  // namespace kestrel
