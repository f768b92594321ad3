// One of the programs that answer the logger's sudo lines (privileged/steps.h).
// KESTREL_STEP, the command it stands in for, is fixed when it is built: the
// name it is called by is the caller's to choose.
#include <cerrno>
#include <cstring>
#include <iostream>

#include "platform/errors.h"
#include "platform/posix_files.h"
#include "privileged/steps.h"
#include "privileged/system.h"

namespace {

using kestrel::privileged::Arguments;

const char* const step_name = KESTREL_STEP;
// The account the logger runs as, whose tree the start and the copy act on.
const char* const logger_account = "pi";

int refuse(const Arguments& arguments) {
  std::cerr << "kestrel: sudo " << step_name << ": refused: not a line the logger runs:";
  for (const std::string& argument : arguments) std::cerr << " [" << argument << "]";
  std::cerr << '\n';
  return 1;
}

void take(const kestrel::privileged::Step& step) {
  using kestrel::privileged::Refused;
  if (step.run_as == kestrel::privileged::RunAs::calling_account) {
    kestrel::privileged::become(logger_account);
  }
  if (step.needs_private_media) kestrel::privileged::check_media_is_private();
  if (step.refuses_a_mount && kestrel::PosixFiles().is_mount_point(step.arguments.back())) {
    throw Refused(step.arguments.back() + " is still a mount point");
  }
  kestrel::privileged::run(step);
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments arguments(argv + 1, argv + argc);
  const auto step = kestrel::privileged::step_for(step_name, arguments);
  if (!step) return refuse(arguments);
  try {
    take(*step);
  } catch (const kestrel::OsError& error) {
    std::cerr << "kestrel: sudo " << step_name << ": " << error.filename << ": "
              << std::strerror(error.code) << '\n';
  } catch (const std::exception& error) {
    std::cerr << "kestrel: sudo " << step_name << ": " << error.what() << '\n';
  }
  return 1;
}
