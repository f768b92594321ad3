#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "buzzer/gpio_devices.h"

namespace buzzer {
namespace {

constexpr const char* devices_folder = "/dev";
constexpr const char* chip_prefix = "gpiochip";

long chip_number(const std::string& name) {
  return std::strtol(name.c_str() + std::strlen(chip_prefix), nullptr, 10);
}

}  // namespace

std::vector<std::string> KernelGpioDevices::chips() {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(devices_folder), ::closedir);
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (std::strncmp(entry->d_name, chip_prefix, std::strlen(chip_prefix)) == 0) {
      names.push_back(entry->d_name);
    }
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return chip_number(a) < chip_number(b);
  });
  std::vector<std::string> paths;
  for (const auto& name : names) paths.push_back(std::string(devices_folder) + "/" + name);
  return paths;
}

int KernelGpioDevices::open(const std::string& path) {
  return ::open(path.c_str(), O_RDWR | O_CLOEXEC);
}

int KernelGpioDevices::ioctl(int fd, unsigned long request, void* arg) {
  return ::ioctl(fd, request, arg);
}

}  // namespace buzzer
