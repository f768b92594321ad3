// What a start does with the tagsheets a power cut left damaged, before it
// appends its header.
//
// A cut can leave a file longer than what reached the card: the file system
// committed the new length before the data, and the file ends in NUL bytes.
// A write cut short by the cut ends where the card or the page cache cut it,
// on a boundary of 512 bytes. The repair removes the NUL bytes and, where
// there is such evidence of a cut, a last line that is no whole record, so
// the file holds whole records only and the next header starts on a clean
// line. It never removes a whole record: a header or a row ends with a line
// end, and a stop line, which ends without one by design, starts its line
// with the stop label.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/ports.h"

namespace kestrel {

// How much of the file is read to judge its end: one block of the file system.
inline constexpr std::size_t judged_end = 4096;

// The length a tagsheet keeps, judged from its end; nothing when `end` does
// not reach far enough back to tell (a run of NUL bytes or a last line longer
// than it).
std::optional<std::uint64_t> whole_records_length(const FileEnd& end);

// Repairs DATE/Non-Tag-DATE.txt for every entry DATE of the tagsheets
// folder. A folder that cannot be listed has nothing to repair.
void repair_tagsheets(const std::string& directory, Files& files, FileEnds& ends);

}  // namespace kestrel
