// The buzzer's own settings: which GPIO line drives it and whether it sounds
// on a low level.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/errors.h"

namespace buzzer {

inline constexpr const char* config_path = "/etc/kestrel/buzzer.conf";
inline constexpr const char* config_path_variable = "KESTREL_BUZZER_CONFIG";

struct Config {
  std::string line = "GPIO18";  // the line's name as the GPIO chip reports it
  bool active_low = false;      // true: the buzzer sounds while the line is low
};

struct ConfigError : kestrel::SettingError {
  using SettingError::SettingError;
};

// Parses "key = value" lines; '#' starts a comment. Keys: line, active_low
// (yes/no, true/false, on/off, 1/0). Unset keys keep their defaults.
// origin names the text in error messages.
Config parse_config(const std::string& text, const std::string& origin);

// The settings of the file named by $KESTREL_BUZZER_CONFIG, or else of
// /etc/kestrel/buzzer.conf; the defaults when that file does not exist.
Config load_config();

}  // namespace buzzer
