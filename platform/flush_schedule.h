#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

// When written files are flushed to the storage. A file written is flushed at
// once when the last flush is at least `interval` old, else as soon as it is:
// a burst of writes costs one flush an interval however fast they come, a
// lone write reaches the storage at once, and nothing is flushed while
// nothing is written. Plain bookkeeping: the caller reads the clock and
// flushes.
class FlushSchedule {
 public:
  using Time = std::chrono::steady_clock::time_point;

  explicit FlushSchedule(std::chrono::steady_clock::duration interval) : interval_(interval) {}

  // The file was written and waits for a flush.
  void written(const std::string& path);
  // The files to flush at `now`, in the order they were first written since
  // their last flush; none before the next flush falls due. Taking them counts
  // as a flush at `now`.
  std::vector<std::string> take_due(Time now);
  // Every waiting file, due or not (a flush that cannot wait).
  std::vector<std::string> take_all(Time now);
  // When the waiting files fall due; nothing while no file waits.
  std::optional<Time> next_due() const;

 private:
  std::chrono::steady_clock::duration interval_;
  std::optional<Time> last_flush_;
  std::vector<std::string> waiting_;
};

}  // namespace kestrel
