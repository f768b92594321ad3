// Times the repair a start makes of the tagsheets: DAYS day folders, each with
// a tagsheet of whole records of KIB kibibytes, the last one ending in NUL
// bytes as a power cut leaves it. Prints the time of one repair with the
// files' data in the page cache (the median of RUNS) and of one without it
// (their pages dropped with posix_fadvise; folders and inodes stay cached).
//
//   tagsheet_repair_bench [DAYS [KIB [RUNS]]]     defaults: 365 64 50
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix_files.h"
#include "tagsheet/repair.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string day_name(int day) {
  char name[16];
  std::snprintf(name, sizeof name, "%02d-%02d-%04d", day % 28 + 1, day / 28 % 12 + 1,
                2026 + day / 336);
  return name;
}

std::string sheet_of(const std::string& root, const std::string& day) {
  return root + "/" + day + "/Non-Tag-" + day + ".txt";
}

double seconds_of_one_repair(const std::string& root) {
  kestrel::PosixFiles files;
  const Clock::time_point began = Clock::now();
  kestrel::repair_tagsheets(root, files, files);
  return std::chrono::duration<double>(Clock::now() - began).count();
}

void drop_cached_data(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  const int days = argc > 1 ? std::stoi(argv[1]) : 365;
  const int kib = argc > 2 ? std::stoi(argv[2]) : 64;
  const int runs = argc > 3 ? std::stoi(argv[3]) : 50;
  std::string root = (std::filesystem::temp_directory_path() / "kestrel-repair-XXXXXX").string();
  if (::mkdtemp(root.data()) == nullptr) return 1;

  const std::string header =
      "Equipment Stop Time: \n\n\nEquipment Start Time:08-00-05\nSerial No:SN-0042\n\n"
      "    Date       Time     Distance of Object\n";
  const std::string row = "07-12-2026    08-10-12        1.25\n";
  std::string whole = header;
  while (whole.size() + row.size() <= static_cast<std::size_t>(kib) * 1024) whole += row;
  std::vector<std::string> sheets;
  for (int day = 0; day < days; ++day) {
    const std::string name = day_name(day);
    std::filesystem::create_directory(root + "/" + name);
    sheets.push_back(sheet_of(root, name));
    std::ofstream(sheets.back(), std::ios::binary)
        << whole << (day == days - 1 ? std::string(2813, '\0') : std::string());
  }

  std::vector<double> warm;
  for (int run = 0; run < runs; ++run) warm.push_back(seconds_of_one_repair(root));
  std::sort(warm.begin(), warm.end());
  for (const std::string& sheet : sheets) drop_cached_data(sheet);
  const double cold = seconds_of_one_repair(root);
  const bool repaired = std::filesystem::file_size(sheets.back()) == whole.size();

  std::printf(
      "%d tagsheets of %d KiB: %.2f ms a repair with the data cached (median of %d), "
      "%.2f µs a file; %.2f ms with the data not cached; the cut file %s\n",
      days, kib, warm[warm.size() / 2] * 1e3, runs, warm[warm.size() / 2] * 1e6 / days, cold * 1e3,
      repaired ? "repaired" : "NOT repaired");
  std::filesystem::remove_all(root);
  return repaired ? 0 : 1;
}
