#pragma once

#include "platform/ports.h"

namespace kestrel {

// Lines go to the interpreter's sys.stdout, notes to its sys.stderr after
// "kestrel: ", and both are flushed at once, so they keep their place among
// the output of the shell commands.
class PythonConsole : public Console {
 public:
  void print_line(const std::string& text) override;
  void note(const std::string& text) override;
};

}  // namespace kestrel
