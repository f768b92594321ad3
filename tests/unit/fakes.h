// Fakes of the platform ports. Every call lands in one ordered event log, so a
// test can check the order of effects across ports.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/board.h"
#include "platform/errors.h"
#include "platform/ports.h"

namespace kestrel::testing {

using Log = std::vector<std::string>;

struct StreamEnd {};      // thrown by the radar when its script is used up
constexpr int idle = -1;  // in a script: one poll that finds no byte waiting
// In a script: one poll that finds no byte, after which the link reports the
// radar silent with a stick that may wait (quiet_stick()). The link answers
// that query from its script, so it has no event of its own: it shows as a
// listing without a read.
constexpr int silent_stick = -2;

class FakeRadar : public RadarLink {
 public:
  FakeRadar(Log& log, const std::vector<int>& script)
      : log_(log), script_(script.begin(), script.end()) {}
  bool byte_waiting() override {
    log_.push_back("poll");
    if (script_.empty()) throw StreamEnd{};
    if (script_.front() >= 0) return true;
    quiet_ = script_.front() == silent_stick;
    script_.pop_front();
    return false;
  }
  bool quiet_stick() override { return std::exchange(quiet_, false); }
  std::uint8_t read_byte() override {
    log_.push_back("read");
    const int byte = script_.front();
    script_.pop_front();
    return static_cast<std::uint8_t>(byte);
  }

 private:
  Log& log_;
  std::deque<int> script_;
  bool quiet_ = false;
};

// All the other ports in one object. Files live in `content`, and a folder
// lists the folders below it that hold one; the listing of /media/pi taken
// for received byte k (from 0) is media[j] for the greatest j <= k, empty
// before the first; an entry of /media/pi is a mounted stick until an unmount
// runs, but for the first `bare_checks` questions and for a folder in `bare`,
// and one in `mounts` stays mounted throughout; an operation named in
// `failing` ("append PATH", ...) throws OsError(failing_errno); a command in `hanging` outlives its
// limit, and every command's limit lands in `limits`; a check of the copy on
// a stick answers `stick_check`.
struct Fakes : SerialPorts, Buzzer, Console, Shell, Clock, Files, FileEnds, Sticks {
  std::unique_ptr<RadarLink> open(const std::string& device, long baud) override {
    touch("open " + device + " " + std::to_string(baud), "open " + device);
    return std::make_unique<FakeRadar>(log, script);
  }
  void blow() override { log.push_back("blow"); }
  void off() override { log.push_back("off"); }
  void print_line(const std::string& text) override { log.push_back("print " + text); }
  void note(const std::string& text) override { log.push_back("note " + text); }
  int run(const std::string& command, std::chrono::milliseconds limit) override {
    log.push_back("run " + command);
    limits[command] = limit;
    if (command.rfind("sudo umount ", 0) == 0) unmounted_ = true;
    return hanging.count(command) ? hung : 1;  // statuses are mostly ignored
  }
  std::string capture(const std::string& command, std::chrono::milliseconds limit) override {
    log.push_back("capture " + command);
    limits[command] = limit;
    if (hanging.count(command)) throw TimeoutExpired(command, limit.count() / 1000.0, "");
    if (capture_status != 0) throw CalledProcessError(capture_status, command, captured);
    return captured;
  }
  LocalTime now() override {  // the readings in order, the last one repeated
    log.push_back("now");
    LocalTime reading = readings.front();
    if (readings.size() > 1) readings.pop_front();
    return reading;
  }
  void sleep(double seconds) override { log.push_back("sleep " + std::to_string(seconds)); }
  std::string read_text(const std::string& path) override {
    touch("read_text " + path, "read_text " + path);
    if (!content.count(path)) throw OsError(ENOENT, path);
    return content[path];
  }
  void append(const std::string& path, const std::string& text) override {
    touch("append " + path + " " + text, "append " + path);
    content[path] += text;
  }
  void replace(const std::string& path, const std::string& text) override {
    touch("replace " + path + " " + text, "replace " + path);
    content[path] = text;
  }
  std::vector<std::string> list(const std::string& directory) override {
    log.push_back("list " + directory);
    if (directory != board::media_directory) return folders_in(directory);
    auto change = media.upper_bound(listings_++);
    return change == media.begin() ? std::vector<std::string>{} : std::prev(change)->second;
  }
  bool is_mount_point(const std::string& path) override {
    log.push_back("is_mount_point " + path);
    if (mounts.count(path) != 0) return true;
    if (unmounted_ || bare.count(path) != 0 || path.rfind(board::media_directory + "/", 0) != 0) {
      return false;
    }
    return bare_checks-- <= 0;
  }
  std::optional<FileEnd> end_of(const std::string& path, std::size_t length) override {
    log.push_back("end_of " + path + " " + std::to_string(length));
    auto file = content.find(path);
    if (file == content.end()) return std::nullopt;
    const std::size_t from = file->second.size() - std::min(length, file->second.size());
    return FileEnd{from, file->second.substr(from)};
  }
  void cut(const std::string& path, std::uint64_t length) override {
    log.push_back("cut " + path + " " + std::to_string(length));
    content[path].resize(length);
  }

  std::uint64_t total_size(const std::vector<std::string>& paths) override {
    std::uint64_t total = 0;
    for (const std::string& path : paths) total += content.count(path) ? content[path].size() : 0;
    log.push_back("total_size " + std::to_string(total));
    return total;
  }
  CopyCheck check(const std::string& from, const std::string& to,
                  const std::vector<std::string>& names, std::chrono::milliseconds limit) override {
    log.push_back("check " + from + " " + to + " " + std::to_string(names.size()));
    limits["check " + to] = limit;
    CopyCheck answer = stick_check;
    if (answer.finding == CopyCheck::Finding::all_same) answer.compared = names.size();
    return answer;
  }

  // The events from the first one equal to `from` on.
  Log since(const std::string& from) const {
    auto first = std::find(log.begin(), log.end(), from);
    return Log(first, log.end());
  }

  Log log;
  std::vector<int> script;
  std::string captured;
  int capture_status = 0;
  // One reading, filled in rather than from a braced list: GCC 12 at -O3 takes
  // the list's backing array for uninitialized (-Wmaybe-uninitialized).
  std::deque<LocalTime> readings = std::deque<LocalTime>(1, LocalTime{2026, 12, 7, 8, 0, 5});
  std::map<std::string, std::string> content;
  std::map<std::size_t, std::vector<std::string>> media;
  std::set<std::string> mounts, bare, failing, hanging;
  int bare_checks = 0;
  int failing_errno = EIO;
  std::map<std::string, std::chrono::milliseconds> limits;
  // What a check of the copy on a stick finds: by default every tagsheet.
  CopyCheck stick_check = [] {
    CopyCheck good;
    good.present = good.mounted = true;
    good.free_bytes = 1 << 30;
    return good;
  }();
  RunStatus status;
  Platform platform{*this, *this, *this, *this, *this, *this, *this, *this, status};

 private:
  bool unmounted_ = false;
  std::vector<std::string> folders_in(const std::string& directory) const {
    const std::string prefix = directory + "/";
    std::vector<std::string> names;
    for (const auto& file : content) {
      const std::string& path = file.first;
      const std::size_t slash = path.find('/', prefix.size());
      if (path.rfind(prefix, 0) != 0 || slash == std::string::npos) continue;
      const std::string name = path.substr(prefix.size(), slash - prefix.size());
      if (names.empty() || names.back() != name) names.push_back(name);
    }
    return names;
  }
  static std::string path_of(const std::string& operation) {
    return operation.substr(operation.find(' ') + 1);
  }
  void touch(const std::string& event, const std::string& operation) {
    log.push_back(event);
    if (failing.count(operation)) throw OsError(failing_errno, path_of(operation));
  }
  std::size_t listings_ = 0;
};

// The buzzer and the waits of a failed export's ending, as the fakes log them.
inline Log failure_beeps() {
  Log beeps = {"off"};
  for (int group = 0; group < 3; ++group) {
    beeps.push_back("sleep 0.400000");
    for (int k = 0; k < 3; ++k) {
      beeps.insert(beeps.end(), {"blow", "sleep 0.100000", "off", "sleep 0.100000"});
    }
  }
  return beeps;
}

}  // namespace kestrel::testing
