#pragma once

#include "platform/ports.h"

namespace kestrel {

// float() of the running interpreter, so the numbers it reads are the
// numbers the configuration may hold (later versions know more scripts'
// digits). The text crosses as the file-system encoding with surrogateescape,
// as every text does; a ValueError is a refusal, any other exception passes.
class PythonFloats : public Floats {
 public:
  std::optional<double> parse(const std::string& text) override;
};

}  // namespace kestrel
