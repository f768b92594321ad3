#include "platform/python_link.h"

#include <stdexcept>

#include "platform/python_platform.h"

namespace kestrel {

std::unique_ptr<RadarLink> PythonSerialPorts::open(const std::string& device, long baud) {
  PyRef serial = global(globals_.get(), "serial");
  PyRef serial_class = checked(PyObject_GetAttrString(serial.get(), "Serial"));
  PyRef path = to_str(device);
  PyRef link = checked(PyObject_CallFunction(serial_class.get(), "Ol", path.get(), baud));
  return std::make_unique<PythonLink>(std::move(link));
}

PythonLink::PythonLink(PyRef serial)
    : serial_(std::move(serial)),
      in_waiting_name_(checked(PyUnicode_FromString("inWaiting"))),
      read_name_(checked(PyUnicode_FromString("read"))),
      zero_(checked(PyLong_FromLong(0))) {}

bool PythonLink::byte_waiting() {
  checked_status(PyErr_CheckSignals());
  PyRef count = checked(PyObject_CallMethodObjArgs(serial_.get(), in_waiting_name_.get(), nullptr));
  const int positive = PyObject_RichCompareBool(count.get(), zero_.get(), Py_GT);
  checked_status(positive);
  return positive == 1;
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
