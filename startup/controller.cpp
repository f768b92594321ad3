#include "startup/controller.h"

#include "radar/detection.h"
#include "radar/distance.h"
#include "radar/frame_assembler.h"
#include "shutdown/end_path.h"
#include "tagsheet/housekeeping.h"
#include "tagsheet/records.h"

namespace kestrel {
namespace {

void evaluate_frame(const Evaluation& evaluation, const Window& window,
                    const std::string& worksheet, Platform& platform) {
  if (evaluation.verdict == Evaluation::rejected) {
    rejection_step(platform.buzzer);
    return;
  }
  const double dist = distance_of(evaluation.count);
  const std::string text = distance_text(dist);
  platform.console.print_line("Distance of object:" + text);
  detection_step(dist, text, window, worksheet, platform);
}

}  // namespace

void controller(const Config& config, Platform& platform) {
  const LocalTime start = platform.clock.now();
  const std::string t = time_text(start);
  const std::string d = date_text(start);
  std::unique_ptr<RadarLink> ser = platform.serial.open(radar_device, radar_baud);
  FrameAssembler frames;

  housekeeping(d, platform.shell, platform.console);
  const std::string worksheet = tagsheet_path(d);
  platform.files.append(worksheet, header(config.equi_Stop_time, t, config.serial_number));

  const Window window{config.range_low, config.range_high};
  for (;;) {
    while (!ser->byte_waiting()) {
    }
    const std::vector<std::string> folder = platform.files.list(media_directory);
    const std::uint8_t x = ser->read_byte();
    if (!folder.empty()) {
      usb_step(platform.buzzer);
      end_path(folder.front(), d, platform);
      continue;
    }
    const Evaluation evaluation = frames.feed(x);
    if (evaluation.verdict != Evaluation::none) {
      evaluate_frame(evaluation, window, worksheet, platform);
    }
  }
}

}  // namespace kestrel
