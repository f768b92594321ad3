// The quoting of mount points: for a mount name made of any bytes but NUL and
// "/", the shell run as `sh -c 'printf %s <quoted /media/pi/NAME>'` must print
// the mount point back byte for byte, and succeed.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "shutdown/shell_quote.h"

extern char** environ;

namespace {

[[noreturn]] void fail(const char* what) {
  std::perror(what);
  std::abort();
}

// Runs sh -c command; its standard output, and its exit status in status.
std::string run_shell(const std::string& command, int& status) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) fail("pipe2");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
    fail("posix_spawn");
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string output;
  char buffer[4096];
  // libFuzzer's time-out alarm interrupts the waits now and then.
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("read");
    output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  pid_t ended;
  while ((ended = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (ended != pid) fail("waitpid");
  return output;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  if (name.find('\0') != std::string::npos || name.find('/') != std::string::npos) return 0;
  const std::string mount_point = "/media/pi/" + name;
  int status = 0;
  const std::string printed = run_shell("printf %s " + kestrel::shell_quote(mount_point), status);
  if (printed != mount_point || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "quoted: %s\nprinted: %s\nstatus: %d\n",
                 kestrel::shell_quote(mount_point).c_str(), printed.c_str(), status);
    std::abort();
  }
  return 0;
}
