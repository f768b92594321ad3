// The seam between the buzzer's logic and the kernel: the GPIO character
// devices and their ioctls, so the logic can be tested without hardware.
#pragma once

#include <string>
#include <vector>

namespace buzzer {

class GpioDevices {
 public:
  virtual ~GpioDevices() = default;
  // Paths of the GPIO chip devices, in chip number order.
  virtual std::vector<std::string> chips() = 0;
  // Like open(path, O_RDWR | O_CLOEXEC): a descriptor, or -1 with errno set.
  virtual int open(const std::string& path) = 0;
  // Like ioctl(fd, request, arg): -1 with errno set on failure.
  virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
};

// The machine's /dev/gpiochip* devices.
class KernelGpioDevices : public GpioDevices {
 public:
  std::vector<std::string> chips() override;
  int open(const std::string& path) override;
  int ioctl(int fd, unsigned long request, void* arg) override;
};

}  // namespace buzzer
