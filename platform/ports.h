// The doors to the outside world that the program's logic calls. The module
// wires them to pyserial, the buzzer module, sys.stdout and POSIX; the unit
// tests wire them to fakes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

// One reading of the clock in the local time zone, the fraction of the
// second dropped.
struct LocalTime {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;    // of the month, from 1
  int hour = 0;
  int minute = 0;
  int second = 0;  // 60 in a leap second
};

class RadarLink {
 public:
  virtual ~RadarLink() = default;
  // inWaiting() > 0
  virtual bool byte_waiting() = 0;
  // read(): exactly one byte.
  virtual std::uint8_t read_byte() = 0;
  // Asked after a poll that found no byte: true, once, when the radar has
  // been silent for a few seconds since something appeared under /media/pi
  // or since the run began (platform/stick_watch.h): time to look for a stick
  // without waiting for a byte.
  virtual bool quiet_stick() = 0;
};

class SerialPorts {
 public:
  virtual ~SerialPorts() = default;
  virtual std::unique_ptr<RadarLink> open(const std::string& device, long baud) = 0;
};

class Buzzer {
 public:
  virtual ~Buzzer() = default;
  virtual void blow() = 0;
  virtual void off() = 0;
};

class Console {
 public:
  virtual ~Console() = default;
  // Writes the text and a line end, and flushes.
  virtual void print_line(const std::string& text) = 0;
  // A line for whoever looks after the board, on standard error: the service
  // sends it to the journal, and the note of the run's end keeps it in
  // /var/log/kestrel.
  virtual void note(const std::string& text) = 0;
};

// Every command is waited for at most its limit; one still running then is
// ended, with what it started, as far as it will end.
class Shell {
 public:
  // What run() returns for a command that did not end within its limit (no
  // exit status is this).
  static constexpr int hung = 256;

  virtual ~Shell() = default;
  // Runs the command through sh -c and waits for it; returns its exit status
  // (the negative signal number when a signal ended it), or `hung`.
  virtual int run(const std::string& command, std::chrono::milliseconds limit) = 0;
  // Runs it with its standard output captured; a non-zero status throws
  // CalledProcessError, a command that outlives its limit TimeoutExpired.
  virtual std::string capture(const std::string& command, std::chrono::milliseconds limit) = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime now() = 0;
  virtual void sleep(double seconds) = 0;
};

class Files {
 public:
  virtual ~Files() = default;
  // The whole file, with CR LF and lone CR read as LF. Fails on anything but
  // a regular file of a few KB (platform/posix_files.h), naming the path.
  virtual std::string read_text(const std::string& path) = 0;
  // Open for appending (creating the file), one write, close. Fails on
  // anything but a regular file, naming the path; never writes through a link.
  virtual void append(const std::string& path, const std::string& text) = 0;
  // Replaces the whole content, atomically: readers see the old or the new
  // content, never an empty or partial file. Only where the folder may not be
  // written but the file may is the file rewritten in place, which a power
  // cut can leave empty or partial.
  virtual void replace(const std::string& path, const std::string& text) = 0;
  // Entry names except "." and "..", in directory order.
  virtual std::vector<std::string> list(const std::string& directory) = 0;
  virtual bool is_mount_point(const std::string& path) = 0;
};

// The end of a file, as far back as was asked for.
struct FileEnd {
  std::uint64_t offset = 0;  // where `bytes` begin in the file
  std::string bytes;         // from there to the end of the file
};

// Reading the end of a file and cutting it short: the repair of what a power
// cut left in the tagsheets. Failures are not reported: a file that cannot be
// read or cut is left as it is.
class FileEnds {
 public:
  virtual ~FileEnds() = default;
  // The last `length` bytes of a regular file (all of them when it is
  // shorter); nothing when there is no such file or it cannot be read. A link
  // in place of the file or of its folder counts as no file.
  virtual std::optional<FileEnd> end_of(const std::string& path, std::size_t length) = 0;
  // Cuts the file to its first `length` bytes, with the same care.
  virtual void cut(const std::string& path, std::uint64_t length) = 0;
};

// How the copies of the tagsheets on a stick compare with the tagsheets.
struct CopyCheck {
  enum class Finding {
    all_same,             // every tagsheet there is has its copy, byte for byte
    unfinished,           // the check did not end within its limit, or failed
    original_unreadable,  // a tagsheet on the board could not be read
    copy_missing,
    copy_failed,  // a copy could not be read back or brought to the stick
    copy_different,
  };
  // The first tagsheet whose copy is not the same: what was found, its name,
  // errno for a read or flush that failed.
  Finding finding = Finding::all_same;
  std::string name;
  int error = 0;
  std::size_t compared = 0;      // tagsheets whose copies were found the same
  std::size_t not_same = 0;      // the others
  std::uint64_t not_copied = 0;  // the others' size on the board, in bytes
  // The stick, as its file system tells: there at all, mounted where the
  // copy went, its mount read-only, its free space.
  bool present = false;
  bool mounted = false;
  bool read_only = false;
  std::uint64_t free_bytes = 0;
};

// The stick's side of an export, beyond what the commands report.
class Sticks {
 public:
  virtual ~Sticks() = default;
  // The total size of the regular files among `paths`.
  virtual std::uint64_t total_size(const std::vector<std::string>& paths) = 0;
  // Brings the copy of each file of `names` (relative to `from`, skipping
  // those that are no regular file there) under `to` to the stick and reads it
  // back, comparing it with the file; at most for `limit`.
  virtual CopyCheck check(const std::string& from, const std::string& to,
                          const std::vector<std::string>& names,
                          std::chrono::milliseconds limit) = 0;
};

// The running interpreter's float() of a text.
class Floats {
 public:
  virtual ~Floats() = default;
  // The value, or nothing when float() refuses the text.
  virtual std::optional<double> parse(const std::string& text) = 0;
};

// A run's figures, kept by the logic as it goes, for the status line that
// `systemctl status kestrel` shows (platform/run_status.h). Sent to systemd,
// never written to the card.
struct RunStatus {
  std::optional<LocalTime> started;
  long frames = 0;  // accepted, each with its distance
  long detections = 0;
  std::optional<LocalTime> last_detection;
  std::string export_state;  // what the export is doing or did; empty before one
  std::string card_failure;  // why the card takes no more records; empty while it does
};

struct Platform {
  SerialPorts& serial;
  Buzzer& buzzer;
  Console& console;
  Shell& shell;
  Clock& clock;
  Files& files;
  FileEnds& file_ends;
  Sticks& sticks;
  RunStatus& status;
};

}  // namespace kestrel
