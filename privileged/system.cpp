#include "privileged/system.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/board.h"
#include "platform/errors.h"

namespace kestrel::privileged {
namespace {

[[noreturn]] void fail(const std::string& what) { throw OsError(errno, what); }

void check_root_only(const std::string& folder) {
  struct stat place {};
  if (::lstat(folder.c_str(), &place) != 0) fail(folder);
  if (!S_ISDIR(place.st_mode) || place.st_uid != 0 || (place.st_mode & (S_IWGRP | S_IWOTH))) {
    throw Refused(folder + " is not a folder that only root may change");
  }
}

}  // namespace

void become(const std::string& account) {
  errno = 0;
  const passwd* entry = ::getpwnam(account.c_str());
  if (entry == nullptr) throw Refused("no account " + account);
  const uid_t uid = entry->pw_uid;
  const gid_t gid = entry->pw_gid;
  const std::string home = entry->pw_dir;
  if (uid == 0) throw Refused("account " + account + " is root");
  if (::initgroups(account.c_str(), gid) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
    fail("becoming " + account);
  }
  if (::setuid(0) == 0) throw Refused("root could not be given up");
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("USER", account.c_str(), 1);
  ::setenv("LOGNAME", account.c_str(), 1);
}

void check_media_is_private() {
  std::string folder = board::media_directory;
  for (;;) {
    check_root_only(folder);
    if (folder == "/") return;
    const auto slash = folder.rfind('/');
    folder = slash == 0 ? "/" : folder.substr(0, slash);
  }
}

void run(const Step& step) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(step.program.c_str()));
  for (const std::string& argument : step.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  ::execv(step.program.c_str(), argv.data());
  fail(step.program);
}

}  // namespace kestrel::privileged
