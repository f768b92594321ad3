"""tools/tagsheet_format.py holds the same tagsheet format as tagsheet/format.h,
so the tests that write tagsheets cannot drift from what the logger writes."""
import codecs
import re
from pathlib import Path

import tagsheet_format

FORMAT_H = Path(__file__).resolve().parents[2] / "tagsheet" / "format.h"
CONSTANT = re.compile(r"^inline constexpr (?:std::string_view|std::size_t|char) (\w+)(?:\[\])? = "
                      r"(.*?);$", re.MULTILINE)
# Computed in format.h from the constants above them, not written down.
DERIVED = {"date_width", "time_width", "row_time_column", "row_distance_column"}


def header_constants():
    """{name: value} of every constant format.h writes down: bytes for a string
    literal (C's escapes decoded), an int for a number."""
    found = {}
    for name, value in CONSTANT.findall(FORMAT_H.read_text()):
        if value.startswith('"'):
            found[name] = codecs.escape_decode(value[1:-1].encode())[0]
        elif value.isdigit():
            found[name] = int(value)
        else:
            assert name in DERIVED, "%s = %s: neither a literal nor known as derived" % (name, value)
    return found


def test_the_module_has_every_constant_of_format_h_with_its_value():
    constants = header_constants()
    assert len(constants) >= 12, "format.h was not parsed: %s" % sorted(constants)
    mine = {}
    for name in constants:
        value = getattr(tagsheet_format, name.upper(), None)
        mine[name] = value.encode() if isinstance(value, str) else value
    assert mine == constants
