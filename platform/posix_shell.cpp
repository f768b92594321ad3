#include "platform/posix_shell.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>

#include "platform/child_process.h"
#include "platform/errors.h"
#include "platform/fd.h"

extern char** environ;

namespace kestrel {
namespace {

constexpr const char* shell_path = "/bin/sh";

// Owns the spawn attributes and file actions for one command.
struct SpawnSetup {
  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
};

}  // namespace

// The command starts with the default dispositions of SIGPIPE and SIGXFSZ
// (the interpreter ignores them), with no descriptor but 0, 1 and 2, and as
// the leader of a new process group.
int PosixShell::spawn(const std::string& command, int stdout_fd) {
  before_command_();
  SpawnSetup setup;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&setup.actions, stdout_fd, STDOUT_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);

  char sh[] = "sh";
  char dash_c[] = "-c";
  char* argv[] = {sh, dash_c, const_cast<char*>(command.c_str()), nullptr};
  pid_t pid = 0;
  int code = posix_spawn(&pid, shell_path, &setup.actions, &setup.attributes, argv, environ);
  if (code != 0) throw OsError(code, shell_path);
  return pid;
}

int PosixShell::run(const std::string& command, std::chrono::milliseconds limit) {
  ChildProcess child(spawn(command, -1), check_interrupts_, grace_);
  return child.wait_at_most(limit).value_or(hung);
}

std::string PosixShell::capture(const std::string& command, std::chrono::milliseconds limit) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw OsError(errno, "pipe");
  Fd reader(ends[0]);
  Fd writer(ends[1]);
  ChildProcess child(spawn(command, writer.get()), check_interrupts_, grace_);
  writer.close();
  const auto deadline = ChildProcess::Clock::now() + limit;
  const double seconds = std::chrono::duration<double>(limit).count();

  std::string output;
  char buffer[4096];
  for (;;) {
    if (!wait_readable(reader.get(), deadline, check_interrupts_)) {
      child.end_group();
      throw TimeoutExpired(command, seconds, output);
    }
    ssize_t n = ::read(reader.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      check_interrupts_();
      continue;
    }
    if (n <= 0) break;
    output.append(buffer, static_cast<std::size_t>(n));
  }
  const std::optional<int> status = child.wait_until(deadline);
  if (!status) {
    child.end_group();
    throw TimeoutExpired(command, seconds, output);
  }
  if (*status != 0) throw CalledProcessError(*status, command, output);
  return output;
}

}  // namespace kestrel
