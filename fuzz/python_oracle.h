// The interpreter itself as the reference for the fuzz targets that compare
// kestrel's C++ with what Python does: Debian's libpython3.11, embedded.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace oracle {

// repr() of a bytes object holding the given bytes.
std::string bytes_repr(std::string_view bytes);

// float() of a configuration file holding these bytes, read as the
// interpreter reads a text file: open(path, encoding="utf-8").read(), with
// its universal line ends and strict decoding; nothing when a step raises.
std::optional<double> float_of_file(std::string_view bytes);

}  // namespace oracle
