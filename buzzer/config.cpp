#include "buzzer/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/fd.h"

namespace buzzer {
namespace {

std::string trimmed(const std::string& text) {
  const char* blanks = " \t\r";
  const auto first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool parse_flag(const std::string& value, bool& flag) {
  if (value == "yes" || value == "true" || value == "on" || value == "1") {
    flag = true;
  } else if (value == "no" || value == "false" || value == "off" || value == "0") {
    flag = false;
  } else {
    return false;
  }
  return true;
}

// The whole file, or nothing when it does not exist.
std::string read_file(const std::string& path) {
  kestrel::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid() && errno == ENOENT) return "";
  if (!fd.valid()) throw ConfigError(path + ": " + std::strerror(errno));
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd.get(), buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  if (n < 0) throw ConfigError(path + ": " + std::strerror(errno));
  return text;
}

}  // namespace

Config parse_config(const std::string& text, const std::string& origin) {
  Config config;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    const std::string where = origin + ":" + std::to_string(number) + ": ";
    line = trimmed(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    const auto equals = line.find('=');
    if (equals == std::string::npos) throw ConfigError(where + "expected key = value");
    const std::string key = trimmed(line.substr(0, equals));
    const std::string value = trimmed(line.substr(equals + 1));
    if (key == "line") {
      if (value.empty()) throw ConfigError(where + "empty line name");
      config.line = value;
    } else if (key == "active_low") {
      if (!parse_flag(value, config.active_low)) {
        throw ConfigError(where + "active_low must be yes or no, not \"" + value + "\"");
      }
    } else {
      throw ConfigError(where + "unknown key \"" + key + "\"");
    }
  }
  return config;
}

Config load_config() {
  const char* chosen = std::getenv(config_path_variable);
  const std::string path = chosen && *chosen ? chosen : config_path;
  return parse_config(read_file(path), path);
}

}  // namespace buzzer
