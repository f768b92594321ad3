// Commands that outlive their time limit: ended with what they started.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/errors.h"
#include "platform/posix_shell.h"
#include "support.h"

namespace kestrel {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

// The pid a command wrote into the file, once it is there.
pid_t pid_in(const std::string& path) {
  pid_t pid = 0;
  for (int tries = 0; tries < 200 && pid == 0; ++tries) {
    std::ifstream(path) >> pid;
    if (pid == 0) std::this_thread::sleep_for(10ms);
  }
  return pid;
}

// Whether the process has ended (a zombie counts) within two seconds.
bool ends_soon(pid_t pid) {
  for (int tries = 0; tries < 200; ++tries) {
    char state = 'R';
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto paren = text.rfind(')');
    if (paren != std::string::npos && paren + 2 < text.size()) state = text[paren + 2];
    if (state == 'Z') return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(CommandLimit, ACommandThatOutlivesItIsEndedWithWhatItStarted) {
  TempDir dir;
  const std::string pids = dir / "pids";
  PosixShell shell([] {}, [] {}, 100ms);
  const auto began = Clock::now();
  EXPECT_EQ(shell.run("sleep 30 & echo $! >" + pids + "; wait", 300ms), Shell::hung);
  EXPECT_GE(Clock::now() - began, 300ms);
  EXPECT_LT(Clock::now() - began, 3s);
  EXPECT_TRUE(ends_soon(pid_in(pids))) << "the command's own child still runs";
}

// Also when the shell itself ends at SIGTERM and leaves the deaf command behind.
TEST(CommandLimit, OneThatIgnoresTermIsKilledAfterTheGrace) {
  for (const std::string deaf : {"trap '' TERM; echo $$ >PIDS; sleep 30; :",
                                 "sh -c \"trap '' TERM; echo \\$\\$ >PIDS; sleep 30; :\"; :"}) {
    SCOPED_TRACE(deaf);
    TempDir dir;
    std::string command = deaf;
    command.replace(command.find("PIDS"), 4, dir / "pids");
    PosixShell shell([] {}, [] {}, 400ms);
    const auto began = Clock::now();
    EXPECT_EQ(shell.run(command, 100ms), Shell::hung);
    EXPECT_GE(Clock::now() - began, 500ms) << "SIGKILL came before the grace was over";
    EXPECT_LT(Clock::now() - began, 3s);
    EXPECT_TRUE(ends_soon(pid_in(dir / "pids")));
  }
}

TEST(CommandLimit, ACaptureThatOutlivesItFailsWithWhatItPrinted) {
  PosixShell shell([] {}, [] {}, 100ms);
  // Its output ends early: the wait for its end is bounded too.
  for (const std::string command : {"echo partial; sleep 30", "echo partial; exec >&-; sleep 30"}) {
    try {
      shell.capture(command, 200ms);
      ADD_FAILURE() << command;
    } catch (const TimeoutExpired& error) {
      EXPECT_EQ(error.cmd, command);
      EXPECT_EQ(error.output, "partial\n");
      EXPECT_DOUBLE_EQ(error.timeout, 0.2);
    }
  }
}

TEST(CommandLimit, ACommandWithinItsLimitKeepsItsStatus) {
  PosixShell shell;
  EXPECT_EQ(shell.run("sleep 0.1; exit 7", 5s), 7);
  EXPECT_EQ(shell.capture("sleep 0.1; echo done", 5s), "done\n");
}

// Ctrl-C while a command runs stops the run, and the command is asked to end.
volatile sig_atomic_t signal_noted = 0;
struct Interrupted {};

TEST(CommandLimit, AnInterruptedWaitEndsTheCommandToo) {
  struct sigaction note {};
  struct sigaction before {};
  note.sa_handler = [](int) { signal_noted = 1; };
  sigemptyset(&note.sa_mask);
  ::sigaction(SIGUSR1, &note, &before);  // no SA_RESTART, as Python installs its handlers
  signal_noted = 0;
  TempDir dir;
  const std::string pids = dir / "pids";
  PosixShell shell([] {
    if (signal_noted) throw Interrupted{};
  });
  const pthread_t waiter = ::pthread_self();
  std::thread interrupt([&] {
    std::this_thread::sleep_for(200ms);
    ::pthread_kill(waiter, SIGUSR1);
  });
  EXPECT_THROW(shell.run("echo $$ >" + pids + "; sleep 30; :", 20s), Interrupted);
  interrupt.join();
  ::sigaction(SIGUSR1, &before, nullptr);
  EXPECT_TRUE(ends_soon(pid_in(pids)));
}

}  // namespace
}  // namespace kestrel
