#include "tests/buzzer/fake_gpio.h"

#include <linux/gpio.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstring>

namespace buzzer {

std::vector<std::string> FakeGpio::chips() {
  std::vector<std::string> paths;
  for (const auto& chip : chips_) paths.push_back(chip.path);
  return paths;
}

// A real descriptor, so the code under test can close it.
int FakeGpio::new_fd() { return ::eventfd(0, EFD_CLOEXEC); }

int FakeGpio::open(const std::string& path) {
  for (const auto& chip : chips_) {
    if (chip.path != path) continue;
    if (chip.open_error) {
      errno = chip.open_error;
      return -1;
    }
    const int fd = new_fd();
    open_chips_[fd] = &chip;
    return fd;
  }
  errno = ENOENT;
  return -1;
}

int FakeGpio::ioctl(int fd, unsigned long request, void* arg) {
  if (auto chip = open_chips_.find(fd); chip != open_chips_.end()) {
    return ioctl_chip(*chip->second, request, arg);
  }
  if (auto line = open_lines_.find(fd); line != open_lines_.end()) {
    return ioctl_line(claims[line->second], request, arg);
  }
  errno = EBADF;
  return -1;
}

int FakeGpio::ioctl_chip(const Chip& chip, unsigned long request, void* arg) {
  if (request == GPIO_GET_CHIPINFO_IOCTL) {
    auto* info = static_cast<gpiochip_info*>(arg);
    info->lines = static_cast<unsigned>(chip.lines.size());
    return 0;
  }
  if (request == GPIO_V2_GET_LINEINFO_IOCTL) {
    auto* info = static_cast<gpio_v2_line_info*>(arg);
    if (info->offset >= chip.lines.size()) {
      errno = EINVAL;
      return -1;
    }
    std::strncpy(info->name, chip.lines[info->offset].c_str(), sizeof info->name - 1);
    return 0;
  }
  if (request == GPIO_V2_GET_LINE_IOCTL) {
    auto* line = static_cast<gpio_v2_line_request*>(arg);
    if (line->num_lines != 1 || line->offsets[0] >= chip.lines.size()) {
      errno = EINVAL;
      return -1;
    }
    if (chip.busy.count(line->offsets[0])) {
      errno = EBUSY;
      return -1;
    }
    // The initial value: the output-values attribute, inactive without one.
    bool active = false;
    for (unsigned k = 0; k < line->config.num_attrs; ++k) {
      const auto& attribute = line->config.attrs[k];
      if (attribute.attr.id == GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES && (attribute.mask & 1)) {
        active = attribute.attr.values & 1;
      }
    }
    const bool active_low = line->config.flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW;
    claims.push_back(
        {chip.path, line->offsets[0], line->consumer, line->config.flags, active != active_low});
    line->fd = new_fd();
    open_lines_[line->fd] = claims.size() - 1;
    return 0;
  }
  errno = ENOTTY;
  return -1;
}

int FakeGpio::ioctl_line(Claim& claim, unsigned long request, void* arg) {
  if (request != GPIO_V2_LINE_SET_VALUES_IOCTL) {
    errno = ENOTTY;
    return -1;
  }
  if (set_error) {
    errno = set_error;
    return -1;
  }
  const auto* values = static_cast<gpio_v2_line_values*>(arg);
  if (values->mask & 1) {
    const bool active_low = claim.flags & GPIO_V2_LINE_FLAG_ACTIVE_LOW;
    claim.level = (values->bits & 1) != active_low;
  }
  return 0;
}

}  // namespace buzzer
