#pragma once

#include "platform/idle_work.h"
#include "platform/ports.h"
#include "platform/python_ref.h"
#include "platform/stick_watch.h"

namespace kestrel {

// Opens the radar link with the module's global `serial` (pyserial):
// serial.Serial(device, baud). When that is pyserial's own POSIX class, the
// link is read through its descriptor (BlockLink); any other link object is
// used through its inWaiting() and read() methods (PythonLink). Either link
// runs the `idle` work that falls due while it waits, and tells of a quiet
// stick through `watch`.
class PythonSerialPorts : public SerialPorts {
 public:
  PythonSerialPorts(PyObject* globals, IdleWork& idle, StickWatch& watch)
      : globals_(PyRef::borrow(globals)), idle_(idle), watch_(watch) {}
  std::unique_ptr<RadarLink> open(const std::string& device, long baud) override;

 private:
  PyRef globals_;
  IdleWork& idle_;
  StickWatch& watch_;
};

// A link object used through its inWaiting() and read() methods. Pending
// signals (Ctrl-C) are checked at every poll, so the busy poll can be stopped;
// a poll that finds nothing yields the processor once. Every poll runs the
// idle work that is due; the watch's changes are taken in when asked for a
// quiet stick.
class PythonLink : public RadarLink {
 public:
  explicit PythonLink(PyRef serial, IdleWork& idle = no_idle_work(),
                      StickWatch& watch = no_stick_watch());
  bool byte_waiting() override;
  std::uint8_t read_byte() override;
  bool quiet_stick() override;

 private:
  PyRef serial_;
  IdleWork& idle_;
  StickWatch& watch_;
  PyRef in_waiting_name_;
  PyRef read_name_;
  PyRef zero_;
};

}  // namespace kestrel
