#include "platform/python_link.h"

#include <sched.h>

#include <stdexcept>

#include "platform/block_link.h"
#include "platform/python_platform.h"

namespace kestrel {
namespace {

// pyserial's own POSIX link: read through its descriptor, with the link's
// methods left for failures.
class PyserialLink : public RadarLink {
 public:
  PyserialLink(PyRef serial, int fd, IdleWork& idle, StickWatch& watch)
      : methods_(std::move(serial)), block_(fd, methods_, check_signals, idle, watch) {}
  bool byte_waiting() override { return block_.byte_waiting(); }
  std::uint8_t read_byte() override { return block_.read_byte(); }
  bool quiet_stick() override { return block_.quiet_stick(); }

 private:
  PythonLink methods_;
  BlockLink block_;
};

// The attribute, or an empty reference when the object has none.
PyRef optional_attribute(PyObject* object, const char* name) {
  PyRef value(PyObject_GetAttrString(object, name));
  if (value.get() == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
  }
  return value;
}

// True when the link is exactly serial.serialposix.Serial, not a subclass or a
// stand-in: only then are its descriptor and its driver's queue the whole story.
bool is_pyserial_posix(PyObject* serial, PyObject* link) {
  PyRef posix = optional_attribute(serial, "serialposix");
  if (posix.get() == nullptr) return false;
  PyRef posix_class = optional_attribute(posix.get(), "Serial");
  PyRef type = checked(PyObject_Type(link));
  return posix_class.get() != nullptr && type.get() == posix_class.get();
}

int descriptor_of(PyObject* link) {
  PyRef fd = checked(PyObject_GetAttrString(link, "fd"));
  const long value = PyLong_AsLong(fd.get());
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  return static_cast<int>(value);
}

}  // namespace

std::unique_ptr<RadarLink> PythonSerialPorts::open(const std::string& device, long baud) {
  PyRef serial = global(globals_.get(), "serial");
  PyRef serial_class = checked(PyObject_GetAttrString(serial.get(), "Serial"));
  PyRef path = to_str(device);
  PyRef link = checked(PyObject_CallFunction(serial_class.get(), "Ol", path.get(), baud));
  if (is_pyserial_posix(serial.get(), link.get())) {
    const int fd = descriptor_of(link.get());
    return std::make_unique<PyserialLink>(std::move(link), fd, idle_, watch_);
  }
  return std::make_unique<PythonLink>(std::move(link), idle_, watch_);
}

PythonLink::PythonLink(PyRef serial, IdleWork& idle, StickWatch& watch)
    : serial_(std::move(serial)),
      idle_(idle),
      watch_(watch),
      in_waiting_name_(checked(PyUnicode_FromString("inWaiting"))),
      read_name_(checked(PyUnicode_FromString("read"))),
      zero_(checked(PyLong_FromLong(0))) {}

bool PythonLink::byte_waiting() {
  checked_status(PyErr_CheckSignals());
  PyRef count = checked(PyObject_CallMethodObjArgs(serial_.get(), in_waiting_name_.get(), nullptr));
  const int positive = PyObject_RichCompareBool(count.get(), zero_.get(), Py_GT);
  checked_status(positive);
  idle_.run_due();
  if (positive == 1) {
    watch_.heard();
    return true;
  }
  ::sched_yield();  // let the commands and the restart run; ask again at once
  return false;
}

bool PythonLink::quiet_stick() {
  watch_.take_changes();
  return watch_.look_now();
}

std::uint8_t PythonLink::read_byte() {
  PyRef data = checked(PyObject_CallMethodObjArgs(serial_.get(), read_name_.get(), nullptr));
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  checked_status(PyBytes_AsStringAndSize(data.get(), &bytes, &size));
  if (size != 1) {
    throw std::runtime_error("radar link read() returned " + std::to_string(size) +
                             " bytes instead of 1");
  }
  return static_cast<unsigned char>(bytes[0]);
}

}  // namespace kestrel
