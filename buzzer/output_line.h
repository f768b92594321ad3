// One GPIO line claimed as an output through the kernel's GPIO character
// device uAPI v2, found by its name on any chip.
#pragma once

#include <stdexcept>
#include <string>

#include "buzzer/config.h"
#include "buzzer/gpio_devices.h"
#include "platform/errors.h"
#include "platform/fd.h"

namespace buzzer {

// A GPIO operation failed: errno (or ENOENT for a line that is not there)
// and a message that names the line.
struct GpioError : kestrel::DeviceError {
  using DeviceError::DeviceError;
};

class OutputLine {
 public:
  // Finds the line config.line on the chips, in chip order, and claims it as
  // an output driven inactive, so the buzzer is silent. An active-low buzzer
  // is left to the kernel's active-low flag, so "active" always means
  // "sounding".
  static OutputLine claim(GpioDevices& devices, const Config& config, const std::string& consumer);

  // Drives the line active (the buzzer sounds) or inactive (silent).
  void set(bool active);

 private:
  OutputLine(GpioDevices& devices, kestrel::Fd request, std::string name)
      : devices_(&devices), request_(std::move(request)), name_(std::move(name)) {}

  GpioDevices* devices_;
  kestrel::Fd request_;
  std::string name_;
};

}  // namespace buzzer
