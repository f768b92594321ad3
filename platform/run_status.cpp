#include "platform/run_status.h"

#include <cstdio>

namespace kestrel {
namespace {

std::string two_digits(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", value);
  return text;
}

std::string date_of(const LocalTime& reading) {
  return two_digits(reading.day) + "-" + two_digits(reading.month) + "-" +
         std::to_string(reading.year);
}

std::string time_of(const LocalTime& reading) {
  return two_digits(reading.hour) + ":" + two_digits(reading.minute) + ":" +
         two_digits(reading.second);
}

// "radar sending", "radar silent for 12 s", "... 5 min", "... 3 h 20 min", "... 2 d 4 h".
std::string radar(std::chrono::steady_clock::duration silence) {
  const long seconds = std::chrono::duration_cast<std::chrono::seconds>(silence).count();
  if (seconds < 2) return "radar sending";
  const long minutes = seconds / 60;
  const long hours = minutes / 60;
  std::string length;
  if (seconds < 60) {
    length = std::to_string(seconds) + " s";
  } else if (minutes < 60) {
    length = std::to_string(minutes) + " min";
  } else if (hours < 24) {
    length = std::to_string(hours) + " h " + std::to_string(minutes % 60) + " min";
  } else {
    length = std::to_string(hours / 24) + " d " + std::to_string(hours % 24) + " h";
  }
  return "radar silent for " + length;
}

std::string counts(const RunStatus& status) {
  std::string text =
      count_of(status.frames, "frame") + ", " + count_of(status.detections, "detection");
  if (status.last_detection) text += ", last at " + time_of(*status.last_detection);
  return text;
}

}  // namespace

std::string count_of(long count, const std::string& thing) {
  return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

std::string status_line(const RunStatus& status, std::chrono::steady_clock::duration silence) {
  std::string line = "starting";
  if (status.started) {
    line = "running since " + date_of(*status.started) + " " + time_of(*status.started);
  }
  line += "; " + counts(status) + "; " + radar(silence) + "; ";
  line += status.export_state.empty() ? "no export yet" : status.export_state;
  if (!status.card_failure.empty()) line += "; " + status.card_failure;
  return line;
}

}  // namespace kestrel
