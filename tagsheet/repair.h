// What a start does with the tagsheets a power cut left damaged, once the
// radar link is open and before the housekeeping and the header.
//
// A cut can leave a file longer than what reached the card: the file system
// committed the new length before the data, and the file ends in NUL bytes.
// A write cut short by the cut ends where the card or the page cache cut it,
// on a boundary of 512 bytes. The repair removes the NUL bytes and, where
// there is such evidence of a cut, the last record if it was cut short, so
// the file holds whole records only and the next header starts a clean line.
//
// The rule, read from the records of tagsheet/format.h:
//
// Lines. LF, CR LF and a lone CR each end a line (an editor may have saved
// the file with any of them); a UTF-8 byte-order mark before the first line
// is no part of it.
//
// Header or stop line. Both begin with the stop label. A stop line brings its
// own line end, so its label begins a line that follows an empty line (the
// record before it ended with its line end) or a line that is a stop line and
// nothing more (the end path ran twice). A header brings none: its label
// begins the file's first line, or a line after any other line (a row, a
// title, a stop line a row continues), or continues a stop line.
//
// Whole records. A row ends with its line end and a header with its title
// line's. A stop line has no end: whatever its line holds after the label is
// its value, a row that continues it included, up to a header's label.
//
// Cut short, where a cut shows, is the last record when the file ends
// - in a header: no title line has ended since its label, within the lines a
//   header can hold. The header goes whole, from its label on;
// - in a stop line's label, or right after its line end: the stop line goes,
//   its line end included, so no empty line is left to pass for one;
// - in any other line without a line end (a row cut short): the line goes.
// Only the last record is judged, so no whole record is ever removed.
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
// not reach back far enough to tell (a run of NUL bytes, or the lines the
// rule has to see).
std::optional<std::uint64_t> whole_records_length(const FileEnd& end);

// Repairs DATE/Non-Tag-DATE.txt for every entry DATE of the tagsheets
// folder. A folder that cannot be listed has nothing to repair.
void repair_tagsheets(const std::string& directory, Files& files, FileEnds& ends);

}  // namespace kestrel
