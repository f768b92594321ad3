#include "startup/controller.h"

#include <cerrno>
#include <cstring>

#include "platform/board.h"
#include "platform/errors.h"
#include "radar/distance.h"
#include "radar/frame_assembler.h"
#include "shutdown/export.h"
#include "tagsheet/housekeeping.h"
#include "tagsheet/log.h"
#include "tagsheet/records.h"
#include "tagsheet/repair.h"

namespace kestrel {
namespace {

// Polls until a byte waits (true), or until the link reports the radar
// silent with a stick that may wait (false). No pause and no time limit of
// its own: the link sleeps while nothing comes.
bool wait_for_byte(RadarLink& ser) {
  while (!ser.byte_waiting()) {
    if (ser.quiet_stick()) return false;
  }
  return true;
}

// A rejected frame silences the buzzer; an accepted one has its distance
// printed and goes to the detection step.
void evaluate_frame(const Evaluation& evaluation, const Window& window,
                    const std::string& worksheet, Platform& platform) {
  if (evaluation.verdict == Evaluation::rejected) {
    platform.buzzer.off();
    return;
  }
  const double dist = distance_of(evaluation.count);
  const std::string text = distance_text(dist);
  platform.console.print_line("Distance of object:" + text);
  ++platform.status.frames;
  detection_step(dist, text, window, worksheet, platform);
}

// A stick: the buzzer sounds while the run closes its tagsheet and exports.
// Polling goes on until the restart.
void end_run(const std::string& mount_name, const std::string& worksheet, Platform& platform) {
  platform.buzzer.blow();
  close_tagsheet(worksheet, platform.files);
  export_and_restart(mount_name, platform);
}

// The receive cycle, for ever: returns only by an exception.
void receive(RadarLink& ser, FrameAssembler& frames, const Window& window,
             const std::string& worksheet, Platform& platform) {
  for (;;) {
    const bool received = wait_for_byte(ser);
    const std::vector<std::string> folder = platform.files.list(board::media_directory);
    if (!received) {
      // The radar is silent: a stick is served without waiting for a byte.
      if (!folder.empty()) end_run(folder.front(), worksheet, platform);
      continue;
    }
    const std::uint8_t x = ser.read_byte();  // the byte just received
    if (!folder.empty()) {
      end_run(folder.front(), worksheet, platform);  // the byte is dropped
      continue;
    }
    const Evaluation evaluation = frames.feed(x);
    if (evaluation.verdict != Evaluation::none) {
      evaluate_frame(evaluation, window, worksheet, platform);
    }
  }
}

// The card can no longer take a record: it is full, read-only or failing, or
// (a full or read-only card at a new date) the run's day folder could not be
// made. Anything else, such as a file planted in a tagsheet's place or a
// missing last-seen file, ends the run as before.
bool is_card_failure(const OsError& error, const std::string& worksheet) {
  switch (error.code) {
    case ENOSPC:
    case EDQUOT:
    case EROFS:
    case EIO:
      return true;
    case ENOENT:
      return error.filename == worksheet;
    default:
      return false;
  }
}

// Once the card takes no more records, the run only waits for a stick: the
// radar's bytes are read and dropped, and a stick gets the tagsheets as the
// card holds them, without a stop line, before the restart. Nothing is
// written to the card, so nothing more can fail there. The first look is at
// once: the failure may have cut short the end path of a stick that is there.
[[noreturn]] void serve_sticks_only(RadarLink& ser, Platform& platform) {
  for (bool received = false;; received = wait_for_byte(ser)) {
    const std::vector<std::string> folder = platform.files.list(board::media_directory);
    if (received) ser.read_byte();
    if (folder.empty()) continue;
    platform.buzzer.blow();
    export_and_restart(folder.front(), platform);
  }
}

}  // namespace

void detection_step(double dist, const std::string& text, const Window& window,
                    const std::string& worksheet, Platform& platform) {
  if (window.holds(dist)) {
    platform.buzzer.blow();
    const LocalTime detected = platform.clock.now();
    log_detection(worksheet, detected, text, platform.files);
    ++platform.status.detections;
    platform.status.last_detection = detected;
  }
  if (window.excludes(dist)) platform.buzzer.off();
}

void controller(const Config& config, Platform& platform) {
  const LocalTime start = platform.clock.now();
  platform.status.started = start;
  const std::string t = time_text(start);  // the start time of day, for the header
  const std::string d = date_text(start);  // the start date: names the run's folder and tagsheet
  // The radar link, open for the whole run.
  std::unique_ptr<RadarLink> ser = platform.serial.open(board::radar_device, board::radar_baud);
  FrameAssembler frames;

  repair_tagsheets(board::tagsheets_directory, platform.files, platform.file_ends);
  housekeeping(d, platform.shell, platform.console);
  const std::string worksheet = tagsheet_path(d);
  try {
    platform.files.append(worksheet, header(config.equi_Stop_time, t, config.serial_number));
    receive(*ser, frames, Window{config.range_low, config.range_high}, worksheet, platform);
  } catch (const OsError& error) {
    if (!is_card_failure(error, worksheet)) throw;
    platform.status.card_failure = "the card takes no more records: " + error.filename + ": " +
                                   std::strerror(error.code) + "; waiting for a stick to export to";
    platform.console.note(platform.status.card_failure);
    platform.buzzer.off();  // a detection may have sounded it
  }
  serve_sticks_only(*ser, platform);
}

}  // namespace kestrel
