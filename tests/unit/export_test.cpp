#include "shutdown/export.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "fakes.h"
#include "shutdown/tones.h"

namespace kestrel {
namespace {

using testing::Fakes;
using testing::Log;
using Finding = CopyCheck::Finding;
using namespace std::chrono_literals;

const std::string tagsheets = "/home/pi/Configuration/Tagsheets";
const std::string stick = "/media/pi/STICK";
const std::string older = "06-12-2026/Non-Tag-06-12-2026.txt";
const std::string rsync = "sudo rsync -avx /home/pi/Configuration/Tagsheets/ /media/pi/STICK";

// Two tagsheets of 300 and 100 bytes: each step on the stick may take
// 30 s + 2 s + 400 bytes at 128 KiB/s.
const std::chrono::milliseconds allowance = 32003ms;

Fakes board() {
  Fakes fakes;
  fakes.content[tagsheets + "/" + older] = std::string(300, 'x');
  fakes.content[tagsheets + "/07-12-2026/Non-Tag-07-12-2026.txt"] = std::string(100, 'y');
  return fakes;
}

Log commands(const Fakes& fakes) {
  Log run;
  for (const std::string& event : fakes.log) {
    if (event.rfind("run ", 0) == 0) run.push_back(event.substr(4));
  }
  return run;
}

const Log all_commands = {rsync, "sudo umount /media/pi/STICK", "sudo rm -r /media/pi/STICK",
                          "sudo reboot"};

// After the note: the failure's beeps, silence, the restart.
Log failed_ending(const std::string& reason) {
  Log ending = {"note export to /media/pi/STICK failed: " + reason};
  const Log beeps = testing::failure_beeps();
  ending.insert(ending.end(), beeps.begin(), beeps.end());
  ending.insert(ending.end(), {"off", "run sudo reboot"});
  return ending;
}

Log from_note(const Fakes& fakes) {
  const auto note = std::find_if(fakes.log.begin(), fakes.log.end(), [](const std::string& event) {
    return event.rfind("note ", 0) == 0;
  });
  return Log(note, fakes.log.end());
}

TEST(Export, AGoodCopyEndsWithTheLongToneAndNoNote) {
  Fakes fakes = board();
  EXPECT_EQ(export_and_restart("STICK", fakes.platform), "");
  EXPECT_EQ(commands(fakes), all_commands);
  EXPECT_EQ(fakes.since("check " + tagsheets + " " + stick + " 2"),
            (Log{"check " + tagsheets + " " + stick + " 2", "run sudo umount /media/pi/STICK",
                 "is_mount_point /media/pi/STICK", "run sudo rm -r /media/pi/STICK",
                 "sleep 3.000000", "off", "run sudo reboot"}));
}

// The USB helper makes the folder a moment before it moves the mounted stick
// onto it: the copy waits for the mount, and for a folder without a stick at
// most 2 s before it goes ahead as before.
TEST(Export, TheCopyWaitsForTheMountOfAFolderThatIsNoMountPointYet) {
  Fakes mounted_soon = board();
  mounted_soon.bare_checks = 3;
  EXPECT_EQ(export_and_restart("STICK", mounted_soon.platform), "");
  const Log wait = {"is_mount_point " + stick, "sleep 0.050000",          "is_mount_point " + stick,
                    "sleep 0.050000",          "is_mount_point " + stick, "sleep 0.050000",
                    "is_mount_point " + stick, "list " + tagsheets};
  EXPECT_EQ(Log(mounted_soon.log.begin(), mounted_soon.log.begin() + wait.size()), wait);
  EXPECT_EQ(commands(mounted_soon), all_commands);

  Fakes left_behind = board();
  left_behind.bare.insert(stick);
  left_behind.stick_check.mounted = false;
  export_and_restart("STICK", left_behind.platform);
  const auto before_the_copy =
      std::find(left_behind.log.begin(), left_behind.log.end(), "list " + tagsheets);
  EXPECT_EQ(std::count(left_behind.log.begin(), before_the_copy, "sleep 0.050000"),
            mount_wait_steps);
  EXPECT_DOUBLE_EQ(mount_wait_steps * mount_wait_step_seconds, 2.0);
  EXPECT_EQ(commands(left_behind), all_commands);
}

TEST(Export, WhatTheCheckFindsIsNotedAndTheSequenceRunsToTheRestart) {
  struct Case {
    Finding finding;
    bool present, mounted, read_only;
    std::uint64_t free;
    int error;
    std::string reason;
  };
  const std::string name = older;
  for (const Case& c : {
           Case{Finding::copy_missing, true, true, false, 1000, 0,
                name + " is missing on the stick"},
           Case{Finding::copy_different, true, true, false, 1000, 0,
                name + " differs on the stick"},
           Case{Finding::copy_different, true, true, false, 299, 0,
                "no space left on the stick (" + name + " and 1 more not copied)"},
           Case{Finding::copy_missing, true, true, true, 0, 0,
                "the stick is read-only (" + name + " and 1 more not copied)"},
           Case{Finding::copy_failed, true, true, false, 1000, EIO,
                "the stick failed: " + name + ": Input/output error"},
           Case{Finding::original_unreadable, true, true, false, 1000, EIO,
                "the board's " + name + " cannot be read: Input/output error"},
           Case{Finding::all_same, true, false, false, 1000, 0, "no stick is mounted there"},
           Case{Finding::copy_missing, true, false, false, 1000, 0, "no stick is mounted there"},
           Case{Finding::copy_missing, false, false, false, 0, 0, "the stick went away"},
           Case{Finding::unfinished, false, false, false, 0, 0,
                "the check of the copy did not end within 33 s"},
       }) {
    SCOPED_TRACE(c.reason);
    Fakes fakes = board();
    fakes.stick_check.finding = c.finding;
    fakes.stick_check.name = c.finding == Finding::all_same ? "" : name;
    // Both tagsheets, 400 bytes, are not on the stick.
    fakes.stick_check.not_same = 2;
    fakes.stick_check.not_copied = 400;
    fakes.stick_check.present = c.present;
    fakes.stick_check.mounted = c.mounted;
    fakes.stick_check.read_only = c.read_only;
    fakes.stick_check.free_bytes = c.free;
    fakes.stick_check.error = c.error;
    EXPECT_EQ(export_and_restart("STICK", fakes.platform), c.reason);
    EXPECT_EQ(commands(fakes), all_commands);
    EXPECT_EQ(from_note(fakes), failed_ending(c.reason));
  }
}

TEST(Export, AStepThatDoesNotEndIsEndedNotedAndTheOthersFollow) {
  const std::string umount = "sudo umount /media/pi/STICK";
  {
    Fakes fakes = board();
    fakes.hanging.insert(rsync);
    const std::string reason = rsync + " did not end within 33 s";
    EXPECT_EQ(export_and_restart("STICK", fakes.platform), reason);
    EXPECT_EQ(std::count_if(fakes.log.begin(), fakes.log.end(),
                            [](const std::string& event) { return event.rfind("check", 0) == 0; }),
              0)
        << "a copy cut short needs no check";
    EXPECT_EQ(commands(fakes), all_commands);
    EXPECT_EQ(from_note(fakes), failed_ending(reason));
  }
  {
    // Stuck in the unmount, the stick stays mounted: its files are left alone.
    Fakes fakes = board();
    fakes.hanging.insert(umount);
    fakes.mounts.insert(stick);
    const std::string reason = umount + " did not end within 33 s";
    EXPECT_EQ(export_and_restart("STICK", fakes.platform), reason);
    EXPECT_EQ(commands(fakes), (Log{rsync, umount, "sudo reboot"}));
    EXPECT_EQ(from_note(fakes), failed_ending(reason));
  }
}

TEST(Export, EveryStepOnTheStickHasTheTagsheetsAllowance) {
  Fakes fakes = board();
  export_and_restart("STICK", fakes.platform);
  for (const std::string& step :
       {rsync, "check " + stick, "sudo umount " + stick, "sudo rm -r " + stick}) {
    EXPECT_EQ(fakes.limits.at(step), allowance) << step;
  }
  EXPECT_EQ(fakes.limits.at("sudo reboot"), restart_command_limit);
}

TEST(Export, TheAllowanceGrowsWithTheTagsheetsCountAndSize) {
  EXPECT_EQ(stick_allowance(0, 0), 30s);
  EXPECT_EQ(stick_allowance(10, 0), 40s);
  // A year of tagsheets, 50 MiB: 30 s, 365 s and 400 s.
  EXPECT_EQ(stick_allowance(365, 50 << 20), 795s);
}

TEST(Export, ARestartThatDoesNotEndIsNoted) {
  Fakes fakes = board();
  fakes.hanging.insert("sudo reboot");
  EXPECT_EQ(export_and_restart("STICK", fakes.platform), "");
  EXPECT_EQ(fakes.log.back(), "note sudo reboot did not end within 60 s");
}

TEST(Tones, TheFailureBeepsTakeTheLongTonesThreeSecondsAndEndSilent) {
  Fakes fakes;
  failure_beeps(fakes, fakes);
  double slept = 0;
  int beeps = 0;
  for (const std::string& event : fakes.log) {
    if (event.rfind("sleep ", 0) == 0) slept += std::atof(event.c_str() + 6);
    beeps += event == "blow";
  }
  EXPECT_DOUBLE_EQ(slept, 3.0);
  EXPECT_EQ(beeps, 9);
  EXPECT_EQ(fakes.log.front(), "off");
  EXPECT_EQ(fakes.log[fakes.log.size() - 2], "off");
}

}  // namespace
}  // namespace kestrel
