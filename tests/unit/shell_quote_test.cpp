#include "shutdown/shell_quote.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/posix_shell.h"
#include "support.h"

namespace kestrel {
namespace {

TEST(ShellQuote, LeavesSafeWordsAsTheyAre) {
  for (const char* word : {"STICK", "/media/pi/STICK", "USB_2.0-disk", "a@b%c+d=e:f,g"}) {
    EXPECT_EQ(shell_quote(word), word);
  }
}

// Each word must reach printf as one argument, byte for byte, and nothing it
// holds may run: the canary file would appear in the working directory.
TEST(ShellQuote, SurvivesTheShellUnchangedAndRunsNothing) {
  testing::TempDir dir;
  PosixShell shell;
  for (const std::string word :
       {"My Stick", "it's", "say \"hi\"", "$(touch canary)", "`touch canary`", "x;touch canary",
        "x&touch canary", "x|touch canary", "x\ntouch canary", "-rf", "--", "Cl\xc3\xa9",
        "\xff\xfe", "a\\b", "'\"'\"'", "*", "~", "x#y", " "}) {
    const std::string command = "cd " + dir.path + " && printf %s " + shell_quote(word);
    EXPECT_EQ(shell.capture(command, std::chrono::seconds(10)), word) << command;
    EXPECT_NE(::access((dir / "canary").c_str(), F_OK), 0) << command;
  }
}

}  // namespace
}  // namespace kestrel
