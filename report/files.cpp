#include "report/files.h"

#include <filesystem>
#include <system_error>

namespace kestrel::report {

namespace fs = std::filesystem;

namespace {

class Search {
 public:
  Search(const std::string& top, std::FILE* problems) : top_(top), problems_(problems) {}

  FoundTagsheets run() {
    list(fs::directory_iterator(top_), top_);
    std::vector<TagsheetFile> files = std::move(found_.files);
    for (std::size_t at : reading_order(files)) {
      found_.files.push_back(std::move(files[at]));
    }
    return std::move(found_);
  }

 private:
  void list(fs::directory_iterator entries, const fs::path& folder) {
    std::error_code error;
    for (; entries != fs::directory_iterator(); entries.increment(error)) {
      std::error_code type_error;
      if (!entries->is_symlink(type_error) && entries->is_directory(type_error)) {
        enter(entries->path());
      } else {
        add_if_tagsheet(*entries);
      }
    }
    if (error) skip(folder, error);
  }

  void enter(const fs::path& folder) {
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error) {
      skip(folder, error);
    } else {
      list(std::move(entries), folder);
    }
  }

  // A tagsheet whose type cannot be read is kept: its reader says why it cannot open it.
  void add_if_tagsheet(const fs::directory_entry& entry) {
    std::string name = entry.path().filename().string();
    if (!is_tagsheet_name(name)) return;
    std::error_code error;
    bool regular = entry.is_regular_file(error);
    if (!regular && !error) return;  // a folder, a pipe, a device
    std::uint64_t size = regular ? entry.file_size(error) : 0;
    found_.files.push_back(TagsheetFile{entry.path().string(),
                                        entry.path().lexically_relative(top_).string(),
                                        date_in_name(name), error ? 0 : size});
  }

  void skip(const fs::path& folder, const std::error_code& error) {
    ++found_.unreadable_folders;
    std::fprintf(problems_, "%s: cannot read: %s; skipped\n",
                 folder.lexically_relative(top_).c_str(), error.message().c_str());
  }

  fs::path top_;
  std::FILE* problems_;
  FoundTagsheets found_;
};

}  // namespace

FoundTagsheets find_tagsheets(const std::string& folder, std::FILE* problems) {
  return Search(folder, problems).run();
}

}  // namespace kestrel::report
