#include "report/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <system_error>

namespace kestrel::report {

namespace fs = std::filesystem;

namespace {

// What the search below top has found; a folder it cannot read (to its end) is noted on problems.
struct Search {
  fs::path top;
  std::FILE* problems;
  FoundTagsheets found;

  void list(fs::directory_iterator entries, const fs::path& folder) {
    std::error_code error;
    for (; entries != fs::directory_iterator(); entries.increment(error)) {
      std::error_code type_error;
      if (entries->is_symlink(type_error) || !entries->is_directory(type_error)) {
        add_if_tagsheet(*entries);
        continue;
      }
      std::error_code open_error;
      fs::directory_iterator below(entries->path(), open_error);
      if (open_error) {
        skip(entries->path(), open_error);
      } else {
        list(std::move(below), entries->path());
      }
    }
    if (error) skip(folder, error);
  }

  // A tagsheet whose type cannot be read is kept: its reader says why it cannot open it.
  void add_if_tagsheet(const fs::directory_entry& entry) {
    std::string name = entry.path().filename().string();
    if (!is_tagsheet_name(name)) return;
    std::error_code error;
    bool regular = entry.is_regular_file(error);
    if (!regular && !error) return;  // a folder, a pipe, a device
    std::uint64_t size = regular ? entry.file_size(error) : 0;
    found.files.push_back(TagsheetFile{entry.path().string(),
                                       entry.path().lexically_relative(top).string(),
                                       date_in_name(name), error ? 0 : size});
  }

  void skip(const fs::path& folder, const std::error_code& error) {
    ++found.unreadable_folders;
    std::fprintf(problems, "%s: cannot read: %s; skipped\n", folder.lexically_relative(top).c_str(),
                 error.message().c_str());
  }
};

}  // namespace

FoundTagsheets find_tagsheets(const std::string& folder, std::FILE* problems) {
  Search search{folder, problems, {}};
  search.list(fs::directory_iterator(folder), folder);
  std::vector<TagsheetFile> files = std::move(search.found.files);
  for (std::size_t at : reading_order(files)) search.found.files.push_back(std::move(files[at]));
  return std::move(search.found);
}

void read_file(const std::string& path, const std::function<void(std::string_view)>& take,
               std::size_t buffer_size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open");
  // Closed however this ends: take() may throw too.
  std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* open) { ::close(*open); });
#ifdef POSIX_FADV_SEQUENTIAL
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  std::vector<char> buffer(buffer_size);
  for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) != 0;) {
    if (got > 0) {
      take(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    } else if (errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "cannot read");
    }
  }
}

OutputFile::OutputFile(std::string path)
    : path_(std::move(path)), file_(std::fopen(path_.c_str(), "wb")) {
  if (file_ == nullptr) fail("cannot create");
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
}

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

void OutputFile::write(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) fail("cannot write");
}

void OutputFile::close() {
  bool failed = std::ferror(file_) != 0;
  failed = std::fclose(file_) != 0 || failed;
  file_ = nullptr;
  if (failed) fail("cannot write");
}

void OutputFile::fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), std::string(what) + " " + path_);
}

}  // namespace kestrel::report
