#include "privileged/steps.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrel::privileged {
namespace {

const std::string day = "/home/pi/Configuration/Tagsheets/09-12-2026";

TEST(PrivilegedSteps, TheLoggersLinesBecomeTheSystemsCommandsAsTheRightAccount) {
  auto find = step_for("find", {"/home/pi/Configuration/Tagsheets", "-name", "09-12-2026"});
  ASSERT_TRUE(find);
  EXPECT_EQ(find->program, "/usr/bin/find");
  EXPECT_EQ(find->arguments,
            (Arguments{"/home/pi/Configuration/Tagsheets", "-name", "09-12-2026"}));
  EXPECT_EQ(find->run_as, RunAs::calling_account);

  auto mkdir = step_for("mkdir", {day});
  ASSERT_TRUE(mkdir);
  EXPECT_EQ(mkdir->arguments, Arguments{day});
  EXPECT_EQ(mkdir->run_as, RunAs::calling_account);

  auto chmod = step_for("chmod", {"a+r+w", day});
  ASSERT_TRUE(chmod);
  EXPECT_EQ(chmod->arguments, (Arguments{"a+r+w,+t", day}));
  EXPECT_EQ(chmod->run_as, RunAs::calling_account);

  auto rsync =
      step_for("rsync", {"-avx", "/home/pi/Configuration/Tagsheets/", "/media/pi/My Stick"});
  ASSERT_TRUE(rsync);
  EXPECT_EQ(rsync->run_as, RunAs::calling_account);
  EXPECT_FALSE(rsync->needs_private_media);

  auto umount = step_for("umount", {"/media/pi/My Stick"});
  ASSERT_TRUE(umount);
  EXPECT_EQ(umount->run_as, RunAs::root);
  EXPECT_TRUE(umount->needs_private_media);
  EXPECT_FALSE(umount->refuses_a_mount);

  auto rm = step_for("rm", {"-r", "/media/pi/My Stick"});
  ASSERT_TRUE(rm);
  EXPECT_EQ(rm->run_as, RunAs::root);
  EXPECT_TRUE(rm->needs_private_media && rm->refuses_a_mount);
}

TEST(PrivilegedSteps, AnyOtherArgumentListIsRefused) {
  const Arguments refused[] = {
      {},
      {"/home/pi/Configuration/Tagsheets", "-name"},
      {"/home/pi/Configuration/Tagsheets", "-name", "09-12-2026", "-delete"},
      {"/home/pi/Configuration/Tagsheets", "-name", "*"},
      {"/home/pi/Configuration/Tagsheets/", "-name", "09-12-2026"},
      {"/", "-name", "09-12-2026"}};
  for (const Arguments& arguments : refused) EXPECT_FALSE(step_for("find", arguments));
  EXPECT_FALSE(step_for("mkdir", {day + "/x"}));
  EXPECT_FALSE(step_for("mkdir", {"-p", day}));
  EXPECT_FALSE(step_for("mkdir", {"/home/pi/Configuration/Tagsheets/../09-12-2026"}));
  EXPECT_FALSE(step_for("chmod", {"777", day}));
  EXPECT_FALSE(step_for("chmod", {"a+r+w", "/etc/shadow"}));
  EXPECT_FALSE(step_for("chmod", {"a+r+w", day, day}));
  // One argument that reads as two once joined by a space, as sudo joins them.
  EXPECT_FALSE(step_for("rsync", {"-avx", "/home/pi/Configuration/Tagsheets/ /media/pi/root"}));
  EXPECT_FALSE(step_for("rsync", {"-avx", "/home/pi/", "/media/pi/STICK"}));
  EXPECT_FALSE(step_for("rsync", {"-av", "/home/pi/Configuration/Tagsheets/", "/media/pi/S"}));
  EXPECT_FALSE(step_for("umount", {"/media/pi/STICK", "/media/pi"}));
  EXPECT_FALSE(step_for("rm", {"-rf", "/media/pi/STICK"}));
  EXPECT_FALSE(step_for("rm", {"-r", "/media/pi/STICK", "/"}));
  EXPECT_FALSE(step_for("reboot", {}));
  EXPECT_FALSE(step_for("sh", {"-c", "id"}));
}

TEST(PrivilegedSteps, AMountNameIsOneFolderNameOfAnyBytes) {
  for (const char* name : {"STICK", "My Stick", " lead", "-rf", "caf\xe9", "\xff\xfe", ".hidden",
                           "..x", "a\nb", "$(touch pwned)", "*"}) {
    EXPECT_TRUE(is_mount_name(name)) << name;
    EXPECT_TRUE(step_for("umount", {std::string("/media/pi/") + name})) << name;
  }
  for (const char* name : {"", ".", "..", "a/b", "/", "STICK/", "../etc"}) {
    EXPECT_FALSE(is_mount_name(name)) << name;
    EXPECT_FALSE(step_for("rm", {"-r", std::string("/media/pi/") + name})) << name;
  }
  EXPECT_FALSE(step_for("umount", {"/media/pix"}));
  EXPECT_FALSE(step_for("umount", {"/media/pi//STICK"}));
  EXPECT_FALSE(step_for("umount", {"/media/pi"}));
}

TEST(PrivilegedSteps, ADayIsTwoDigitsTwoDigitsFourDigits) {
  EXPECT_TRUE(is_day_name("09-12-2026"));
  EXPECT_TRUE(is_day_name("00-00-0000"));
  for (const char* name : {"9-12-2026", "09-12-26", "09/12/2026", "0a-12-2026", "09-12-2026 ",
                           "09-12-20266", "", "..-..-...."}) {
    EXPECT_FALSE(is_day_name(name)) << name;
  }
}

}  // namespace
}  // namespace kestrel::privileged
