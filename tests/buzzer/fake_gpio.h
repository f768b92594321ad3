// A GPIO kernel in memory: chips with named lines, claims and line levels,
// following the uAPI v2 ioctls the buzzer uses.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "buzzer/gpio_devices.h"

namespace buzzer {

class FakeGpio : public GpioDevices {
 public:
  struct Chip {
    std::string path;
    std::vector<std::string> lines;
    int open_error = 0;       // errno that open() fails with, 0: opens
    std::set<unsigned> busy;  // offsets another program has claimed
  };
  struct Claim {
    std::string chip;
    unsigned offset;
    std::string consumer;
    unsigned long long flags;
    bool level;  // the physical level of the line, active-low applied
  };

  explicit FakeGpio(std::vector<Chip> chips) : chips_(std::move(chips)) {}

  std::vector<std::string> chips() override;
  int open(const std::string& path) override;
  int ioctl(int fd, unsigned long request, void* arg) override;

  std::vector<Claim> claims;  // in claim order
  int set_error = 0;          // errno that setting values fails with, 0: works

 private:
  int new_fd();
  int ioctl_chip(const Chip& chip, unsigned long request, void* arg);
  int ioctl_line(Claim& claim, unsigned long request, void* arg);

  std::vector<Chip> chips_;
  std::map<int, const Chip*> open_chips_;
  std::map<int, std::size_t> open_lines_;  // descriptor -> index in claims
};

}  // namespace buzzer
