// The program's platform as the module provides it: pyserial, the buzzer
// module, sys.stdout, and POSIX for files, shell and clock. The listing of
// /media/pi is kept while its watch reports no change. What is appended
// to a file reaches the storage on DurableFiles' terms: the radar link wakes
// for the flushes, and every command waits for them.
#pragma once

#include "platform/durable_files.h"
#include "platform/posix_clock.h"
#include "platform/posix_files.h"
#include "platform/posix_shell.h"
#include "platform/posix_sticks.h"
#include "platform/python_buzzer.h"
#include "platform/python_console.h"
#include "platform/python_link.h"
#include "platform/python_ref.h"
#include "platform/status_report.h"
#include "platform/stick_watch.h"
#include "platform/systemd_notify.h"
#include "platform/watched_files.h"

namespace kestrel {

// A module global, looked up now; NameError when it is not there.
PyRef global(PyObject* globals, const char* name);

// `from NAME import *` into the module's namespace.
void import_star(PyObject* module, const char* name);
// `import NAME`.
void import_module(PyObject* module, const char* name);

// Raises the pending Python exception (KeyboardInterrupt) if a signal arrived.
void check_signals();

class PythonPlatform {
 public:
  explicit PythonPlatform(PyObject* module);
  Platform& platform() { return platform_; }

 private:
  PosixFiles posix_files_;
  WatchedFiles watched_files_;  // /media/pi listed again only after a change
  DurableFiles files_;
  StickWatch sticks_watch_;
  RunStatus run_status_;
  SystemdNotify systemd_;
  StatusReport status_report_;
  BothIdleWork idle_;
  PythonSerialPorts serial_;
  PythonBuzzer buzzer_;
  PythonConsole console_;
  PosixShell shell_;
  PosixClock clock_;
  PosixSticks sticks_;
  Platform platform_;
};

}  // namespace kestrel
