#include "buzzer/output_line.h"

#include <linux/gpio.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace buzzer {
namespace {

struct Location {
  kestrel::Fd chip;
  std::string path;
  unsigned offset;
};

std::string quoted(const std::string& name) { return "GPIO line \"" + name + "\""; }

// Throws for a call that failed with errno code.
[[noreturn]] void fail(int code, const std::string& what) {
  throw GpioError(code, what + ": " + std::strerror(code));
}

// The offset of the line called name on the open chip, if it has one.
std::optional<unsigned> find_on_chip(GpioDevices& devices, int chip, const std::string& name,
                                     const std::string& path) {
  gpiochip_info info{};
  if (devices.ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &info) < 0) {
    const int code = errno;
    fail(code, "cannot read " + path + " while looking for " + quoted(name));
  }
  for (unsigned offset = 0; offset < info.lines; ++offset) {
    gpio_v2_line_info line{};
    line.offset = offset;
    if (devices.ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &line) < 0) {
      const int code = errno;
      fail(code, "cannot read line " + std::to_string(offset) + " of " + path +
                     " while looking for " + quoted(name));
    }
    if (std::strncmp(line.name, name.c_str(), sizeof line.name) == 0) return offset;
  }
  return std::nullopt;
}

Location find_line(GpioDevices& devices, const std::string& name) {
  const auto chips = devices.chips();
  if (chips.empty()) {
    throw GpioError(ENOENT, quoted(name) + " not found: there is no GPIO chip (/dev/gpiochip*)");
  }
  std::string searched;
  int open_error = 0;
  for (const auto& path : chips) {
    kestrel::Fd chip(devices.open(path));
    if (!chip.valid()) {
      open_error = errno;
      searched += " " + path + " (" + std::strerror(open_error) + ")";
      continue;
    }
    if (auto offset = find_on_chip(devices, chip.get(), name, path)) {
      return {std::move(chip), path, *offset};
    }
    searched += " " + path;
  }
  throw GpioError(open_error ? open_error : ENOENT, quoted(name) + " not found on" + searched);
}

}  // namespace

OutputLine OutputLine::claim(GpioDevices& devices, const Config& config,
                             const std::string& consumer) {
  Location where = find_line(devices, config.line);
  gpio_v2_line_request request{};
  request.offsets[0] = where.offset;
  request.num_lines = 1;
  std::strncpy(request.consumer, consumer.c_str(), sizeof request.consumer - 1);
  request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
  if (config.active_low) request.config.flags |= GPIO_V2_LINE_FLAG_ACTIVE_LOW;
  request.config.num_attrs = 1;
  request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
  request.config.attrs[0].attr.values = 0;  // inactive: silent
  request.config.attrs[0].mask = 1;
  if (devices.ioctl(where.chip.get(), GPIO_V2_GET_LINE_IOCTL, &request) < 0) {
    const int code = errno;
    fail(code, quoted(config.line) + " (" + where.path + " line " + std::to_string(where.offset) +
                   ") cannot be claimed");
  }
  return OutputLine(devices, kestrel::Fd(request.fd), config.line);
}

void OutputLine::set(bool active) {
  gpio_v2_line_values values{};
  values.bits = active ? 1 : 0;
  values.mask = 1;
  if (devices_->ioctl(request_.get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0) {
    const int code = errno;
    fail(code, quoted(name_) + " cannot be set");
  }
}

}  // namespace buzzer
