#include "startup/controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "fakes.h"
#include "radar/distance.h"
#include "support.h"
#include "tagsheet/housekeeping.h"
#include "tagsheet/records.h"

namespace kestrel {
namespace {

using testing::Fakes;
using testing::idle;
using testing::Log;
using testing::StreamEnd;

const std::string sheet = "/home/pi/Configuration/Tagsheets/07-12-2026/Non-Tag-07-12-2026.txt";
const std::string last_seen = "/home/pi/Configuration/current_time.txt";
const Config config{5.0, 1.0, "08-10-13", "SN-0042\n"};
const std::vector<int> frame300 = {0xAA, 0xAA, 0x0C, 0x07, 0x00, 0x00, 0x01,
                                   0x2C, 0x00, 0x02, 0xBC, 0x00, 0x55};

void run(Fakes& fakes) { EXPECT_THROW(controller(config, fakes.platform), StreamEnd); }

TEST(Controller, StartsInOrderAndPollsRightAfterTheHeader) {
  Fakes fakes;
  run(fakes);
  EXPECT_EQ(fakes.log,
            (Log{"now", "open /dev/serial0 115200", "list /home/pi/Configuration/Tagsheets",
                 "capture sudo find /home/pi/Configuration/Tagsheets -name \"07-12-2026\" ",
                 "print b''", "run sudo mkdir /home/pi/Configuration/Tagsheets/07-12-2026",
                 "run sudo chmod a+r+w /home/pi/Configuration/Tagsheets/07-12-2026",
                 "append " + sheet +
                     " Equipment Stop Time:08-10-13\n\n\nEquipment Start Time:08-00-05\n"
                     "Serial No:SN-0042\n\n    Date       Time     Distance of Object\n",
                 "poll"}));
}

// A tagsheet a power cut left damaged is repaired once the radar link is open,
// before anything else touches the tagsheets; a link that cannot be opened
// ends the start before the repair.
TEST(Controller, TheRepairRunsBetweenTheLinkAndTheHousekeeping) {
  const std::string cut = "/home/pi/Configuration/Tagsheets/06-12-2026/Non-Tag-06-12-2026.txt";
  const std::string row = "06-12-2026    23-10-12        1.25\n";
  for (bool link_opens : {true, false}) {
    SCOPED_TRACE(link_opens);
    Fakes fakes;
    fakes.content[cut] = row + std::string(9, '\0');
    if (!link_opens) {
      fakes.failing.insert("open /dev/serial0");
      EXPECT_THROW(controller(config, fakes.platform), OsError);
      EXPECT_EQ(fakes.log, (Log{"now", "open /dev/serial0 115200"}));
      EXPECT_EQ(fakes.content[cut], row + std::string(9, '\0'));
      continue;
    }
    run(fakes);
    const Log start(fakes.log.begin(), fakes.log.begin() + 6);
    EXPECT_EQ(start,
              (Log{"now", "open /dev/serial0 115200", "list /home/pi/Configuration/Tagsheets",
                   "end_of " + cut + " 4096", "cut " + cut + " 35",
                   "capture sudo find /home/pi/Configuration/Tagsheets -name "
                   "\"07-12-2026\" "}));
    EXPECT_EQ(fakes.content[cut], row);
  }
}

TEST(Controller, ListsMediaOncePerReceivedByteAndNeverWhileIdle) {
  Fakes fakes;
  fakes.captured = "/x/07-12-2026\n";
  fakes.script = {idle, idle, 0x01, idle, 0x02};
  run(fakes);
  EXPECT_EQ(fakes.log[4], "print b'/x/07-12-2026\\n'");
  EXPECT_EQ(fakes.since("poll"), (Log{"poll", "poll", "poll", "list /media/pi", "read", "poll",
                                      "poll", "list /media/pi", "read", "poll"}));
}

// A stick drops the byte that found it and runs the end path; then the loop
// goes on assembling and logging frames. The first name listed is used, and the
// mount point is removed only once it is no longer mounted.
TEST(Controller, StickRunsTheEndPathThenPollingGoesOn) {
  for (bool still_mounted : {false, true}) {
    SCOPED_TRACE(still_mounted);
    Fakes fakes;
    fakes.media = {{13, {"STICK", "OTHER"}}, {14, {}}};
    if (still_mounted) fakes.mounts.insert("/media/pi/STICK");
    fakes.script = frame300;
    fakes.script.insert(fakes.script.end(), {0x55, 0x55});
    fakes.readings = {{2026, 12, 7, 23, 59, 59}, {2026, 12, 8, 0, 0, 9}};
    run(fakes);
    const Log detection = {"print Distance of object:3.00",
                           "blow",
                           "now",
                           "append " + sheet + " 08-12-2026    00-00-09        3.00\n",
                           "replace " + last_seen + " 00-00-09",
                           "poll",
                           "list /media/pi",
                           "read"};
    const std::size_t copied = header(config.equi_Stop_time, "23-59-59", "SN-0042\n").size() +
                               row("08-12-2026", "00-00-09", "3.00").size() +
                               stop_line("00-00-09").size();
    Log expected = detection;
    expected.insert(
        expected.end(),
        {"blow", "read_text " + last_seen, "append " + sheet + " \nEquipment Stop Time:00-00-09",
         "replace " + last_seen + "  ", "is_mount_point /media/pi/STICK",
         "list /home/pi/Configuration/Tagsheets", "total_size " + std::to_string(copied),
         "run sudo rsync -avx /home/pi/Configuration/Tagsheets/ /media/pi/STICK",
         "check /home/pi/Configuration/Tagsheets /media/pi/STICK 1",
         "run sudo umount /media/pi/STICK", "is_mount_point /media/pi/STICK"});
    if (!still_mounted) {
      expected.insert(expected.end(), {"run sudo rm -r /media/pi/STICK", "sleep 3.000000"});
    } else {
      // A stick that stays mounted is a failed export.
      expected.push_back("note export to /media/pi/STICK failed: the stick stayed mounted");
      const Log beeps = testing::failure_beeps();
      expected.insert(expected.end(), beeps.begin(), beeps.end());
    }
    expected.insert(expected.end(), {"off", "run sudo reboot", "poll", "list /media/pi", "read"});
    expected.insert(expected.end(), detection.begin(), detection.end() - 2);
    EXPECT_EQ(fakes.since("print Distance of object:3.00"), expected);
  }
}

// With the radar silent, the link tells when to look for a stick: the end
// path runs without a byte, and an empty listing changes nothing.
TEST(Controller, AStickIsServedWhileTheRadarIsSilent) {
  Fakes fakes;
  fakes.content[last_seen] = "08-10-13";
  fakes.media = {{1, {"STICK"}}, {2, {}}};
  fakes.script = {idle, testing::silent_stick, testing::silent_stick, 0x55};
  run(fakes);
  const Log since = fakes.since("poll");
  ASSERT_GE(since.size(), 6u);
  EXPECT_EQ(Log(since.begin(), since.begin() + 6),
            (Log{"poll", "poll", "list /media/pi", "poll", "list /media/pi", "blow"}));
  EXPECT_EQ(std::count(since.begin(), since.end(), "run sudo reboot"), 1);
  EXPECT_EQ(std::count(since.begin(), since.end(), "read"), 1) << "no byte is read for a look";
  EXPECT_EQ(fakes.content[sheet].substr(fakes.content[sheet].size() - 29),
            "\nEquipment Stop Time:08-10-13");
}

TEST(Controller, EveryByteRestartsAgainWhileAStickStaysListed) {
  Fakes fakes;
  fakes.content[last_seen] = " ";
  fakes.media = {{0, {"STICK"}}};
  fakes.script = frame300;
  run(fakes);
  EXPECT_EQ(std::count(fakes.log.begin(), fakes.log.end(), "run sudo reboot"), 13);
  EXPECT_EQ(std::count(fakes.log.begin(), fakes.log.end(), "off"), 13);
}

TEST(Controller, RejectedFrameSilencesTheBuzzerWithoutALine) {
  Fakes fakes;
  fakes.script = {0x55};
  run(fakes);
  EXPECT_EQ(fakes.since("read"), (Log{"read", "off", "poll"}));
}

TEST(Controller, FailingSearchEndsTheRunBeforeAnythingIsPrintedOrMade) {
  Fakes fakes;
  fakes.capture_status = 1;
  EXPECT_THROW(controller(config, fakes.platform), CalledProcessError);
  EXPECT_EQ(fakes.log.back(),
            "capture sudo find /home/pi/Configuration/Tagsheets -name \"07-12-2026\" ");
}

// Every command of the start is bounded, and a search that does not end
// stops the start as a failing one does.
TEST(Controller, TheStartsCommandsAreBoundedAndAHungSearchEndsTheStart) {
  const std::string search = "sudo find /home/pi/Configuration/Tagsheets -name \"07-12-2026\" ";
  Fakes fakes;
  run(fakes);
  for (const std::string& command :
       {search, std::string("sudo mkdir /home/pi/Configuration/Tagsheets/07-12-2026"),
        std::string("sudo chmod a+r+w /home/pi/Configuration/Tagsheets/07-12-2026")}) {
    EXPECT_EQ(fakes.limits.at(command), start_command_limit) << command;
  }
  Fakes hung;
  hung.hanging.insert(search);
  EXPECT_THROW(controller(config, hung.platform), TimeoutExpired);
  EXPECT_EQ(hung.log.back(), "capture " + search);
}

// Other than the card's own failures (below).
TEST(Controller, FileFailuresEndTheRunAtOnce) {
  for (const std::string& failing :
       {"append " + sheet, "read_text " + last_seen, "replace " + last_seen}) {
    SCOPED_TRACE(failing);
    Fakes fakes;
    fakes.content[last_seen] = " ";
    fakes.failing.insert(failing);
    fakes.failing_errno = EACCES;
    fakes.script = frame300;  // a detection, then a stick
    fakes.script.push_back(0x01);
    fakes.media = {{13, {"STICK"}}};
    EXPECT_THROW(controller(config, fakes.platform), OsError);
    EXPECT_EQ(fakes.log.back().substr(0, failing.size()), failing);
  }
}

// A card that can take no more records (full, read-only, failing) does not
// end the run: it notes why, silences the buzzer, drops the radar's bytes and
// exports what the card holds to the next stick, without a stop line.
TEST(Controller, ACardThatTakesNoMoreRecordsWaitsForAStick) {
  struct Case {
    std::string failing;
    int code;
    std::string error;
  };
  const std::vector<int> detection_then_stick = [] {
    std::vector<int> script = frame300;
    script.insert(script.end(), {0x55, idle, testing::silent_stick});
    return script;
  }();
  // The header fails; a row fails; the last-seen time fails.
  for (const Case& c : {Case{"append " + sheet, ENOSPC, "No space left on device"},
                        Case{"append " + sheet, ENOENT, "No such file or directory"},
                        Case{"append " + sheet, EROFS, "Read-only file system"},
                        Case{"replace " + last_seen, EIO, "Input/output error"}}) {
    SCOPED_TRACE(c.failing + " " + c.error);
    Fakes fakes;
    fakes.content[last_seen] = "08-10-13";
    fakes.failing.insert(c.failing);
    fakes.failing_errno = c.code;
    fakes.script = detection_then_stick;
    fakes.media = {{15, {"STICK"}}};  // at the look the silent radar brings
    run(fakes);
    const std::string note =
        "note the card takes no more records: " + c.failing.substr(c.failing.find(' ') + 1) + ": " +
        c.error + "; waiting for a stick to export to";
    const Log after = fakes.since(note);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(fakes.status.card_failure, note.substr(5)) << "and so says the status line";
    EXPECT_EQ(Log(after.begin(), after.begin() + 2), (Log{note, "off"}));
    // Bytes are read and dropped, and the silent stick is exported at once,
    // without a stop line.
    EXPECT_EQ(std::count(after.begin(), after.end(), "read"),
              c.failing == "append " + sheet ? 14 : 1);
    const auto blow = std::find(after.begin(), after.end(), "blow");
    ASSERT_NE(blow, after.end());
    EXPECT_EQ(Log(blow - 1, blow + 2),
              (Log{"list /media/pi", "blow", "is_mount_point /media/pi/STICK"}));
    EXPECT_EQ(std::count(after.begin(), after.end(), "run sudo reboot"), 1);
    EXPECT_EQ(std::count_if(after.begin(), after.end(),
                            [](const std::string& event) {
                              return event.rfind("append", 0) == 0 ||
                                     event.rfind("replace", 0) == 0 || event.rfind("print", 0) == 0;
                            }),
              0)
        << "nothing more is written, nor printed";
  }
}

// Also when the stop line is what the card refuses: the export follows.
TEST(Controller, ACardThatFailsInTheEndPathStillExports) {
  Fakes fakes;
  fakes.content[last_seen] = "08-10-13";
  fakes.failing.insert("replace " + last_seen);  // the reset after the stop line
  fakes.script = {0x01, 0x02};
  fakes.media = {{0, {"STICK"}}, {2, {}}};
  run(fakes);
  const Log since = fakes.since("blow");
  EXPECT_EQ(Log(since.begin(), since.begin() + 3),
            (Log{"blow", "read_text " + last_seen,
                 "append " + sheet + " \nEquipment Stop Time:08-10-13"}));
  // The export cut short by the failure is made at once, without a byte.
  EXPECT_EQ(Log(since.begin() + 4, since.begin() + 8),
            (Log{"note the card takes no more records: " + last_seen +
                     ": Input/output error; waiting for a stick to export to",
                 "off", "list /media/pi", "blow"}));
  EXPECT_EQ(std::count(since.begin(), since.end(), "run sudo reboot"), 1);
  EXPECT_EQ(std::count(since.begin(), since.end(),
                       "run sudo rsync -avx /home/pi/Configuration/Tagsheets/ /media/pi/STICK"),
            1);
}

TEST(Detection, WindowIsStrictOnTheExactDistance) {
  const double nan = std::nan("");
  const double low57 = testing::convert_with_python("0.57\n");
  auto logged = [](const std::string& text) {
    return Log{"blow", "now", "append w 07-12-2026    08-00-05        " + text + "\n",
               "replace " + last_seen + " 08-00-05"};
  };
  struct Case {
    double low, high;
    unsigned count;
    Log effects;
  };
  for (const Case& c :
       {Case{1.0, 5.0, 300, logged("3.00")}, Case{3.0, 5.0, 300, {"off"}},
        Case{1.0, 3.0, 300, {"off"}}, Case{3.0, 3.0, 300, {"off"}}, Case{5.0, 1.0, 300, {"off"}},
        Case{low57, 1.0, 57, logged("0.57")}, Case{0.0, low57, 57, {"off"}},
        Case{nan, 5.0, 300, {}}, Case{1.0, nan, 300, {}}}) {
    SCOPED_TRACE(::testing::Message() << c.low << " < " << c.count << " < " << c.high);
    Fakes fakes;
    const double dist = distance_of(c.count);
    detection_step(dist, distance_text(dist), Window{c.low, c.high}, "w", fakes.platform);
    EXPECT_EQ(fakes.log, c.effects);
  }
}

}  // namespace
}  // namespace kestrel
