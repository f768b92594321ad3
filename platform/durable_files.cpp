#include "platform/durable_files.h"

namespace kestrel {

DurableFiles::~DurableFiles() {
  try {
    flush_waiting();
  } catch (...) {
    // The run is ending with its own failure, or none; this one would hide it.
  }
}

void DurableFiles::append(const std::string& path, const std::string& text) {
  files_.append(path, text);
  schedule_.written(path);
}

void DurableFiles::replace(const std::string& path, const std::string& text) {
  files_.replace(path, text);
  schedule_.written(path);
  run_due();
}

int DurableFiles::run_due() {
  const FlushSchedule::Time now = now_();
  flush(schedule_.take_due(now));
  const std::optional<FlushSchedule::Time> due = schedule_.next_due();
  if (!due) return -1;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*due - now).count());
}

void DurableFiles::flush_waiting() { flush(schedule_.take_all(now_())); }

void DurableFiles::flush(const std::vector<std::string>& paths) {
  if (!paths.empty()) flush_(paths);
}

}  // namespace kestrel
