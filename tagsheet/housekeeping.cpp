#include "tagsheet/housekeeping.h"

#include "platform/board.h"
#include "tagsheet/bytes_literal.h"
#include "tagsheet/records.h"

namespace kestrel {

std::string search_command(const std::string& d) {
  return "sudo find " + board::tagsheets_directory + " -name \"" + d + "\" ";
}

std::string creation_command(const std::string& d) { return "sudo mkdir " + tagsheet_directory(d); }

std::string permissions_command(const std::string& d) {
  return "sudo chmod a+r+w " + tagsheet_directory(d);
}

void housekeeping(const std::string& d, Shell& shell, Console& console) {
  const std::string path_exist =
      bytes_literal(shell.capture(search_command(d), start_command_limit));
  console.print_line(path_exist);
  shell.run(creation_command(d), start_command_limit);
  shell.run(permissions_command(d), start_command_limit);
}

}  // namespace kestrel
