// The interpreter itself as the reference for the fuzz targets that compare
// kestrel's C++ with what Python does: Debian's libpython3.11, embedded.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace oracle {

// repr() of a bytes object holding the given bytes.
std::string bytes_repr(std::string_view bytes);

// float() of the text the configuration file holds, read the way the
// interpreter reads a text file (UTF-8); nothing when either step raises.
std::optional<double> float_of_file_text(std::string_view bytes);

}  // namespace oracle
