"""The tagsheet's records as the logger writes them, read back whole: a file is
a sequence of headers, rows and stop lines, and anything else in it (a NUL
byte, a record cut short) is damage."""
import re

import tagsheet_format as tagsheet
from tagsheet_format import header, row  # noqa: F401 (the board tests write records with these)

TIME = rb"\d\d-\d\d-\d\d"
DATE = rb"\d\d-\d\d-\d{4}"
TITLE = tagsheet.TITLE
TAGSHEETS = "/home/pi/Configuration/Tagsheets"
LAST_SEEN = "/home/pi/Configuration/current_time.txt"
# The report's page the package keeps at the top of the tagsheets: where an export puts it.
PAGE_ON_STICK = "/kestrel-report.html"


def header_pattern(serial):
    return re.compile(re.escape(tagsheet.STOP_LABEL) + b"(?P<last>" + TIME + b"| |)"
                      + re.escape(tagsheet.HEADER_GAP + tagsheet.START_LABEL)
                      + b"(?P<start>" + TIME + b")\n" + re.escape(tagsheet.SERIAL_LABEL + serial)
                      + re.escape(TITLE))


ROW = re.compile(b"(?P<date>" + DATE + b")" + tagsheet.ROW_GAP_AFTER_DATE + b"(?P<time>" + TIME
                 + b")" + tagsheet.ROW_GAP_AFTER_TIME + b"(?P<distance>\\d+\\.\\d\\d)\n")
STOP = re.compile(b"\n" + re.escape(tagsheet.STOP_LABEL) + b"(?P<last>" + TIME + b"| )")


class Parsed:
    """The records of one tagsheet, and where its damage starts (None: none)."""

    def __init__(self, content, serial):
        self.records = []  # ("header" | "row" | "stop", match)
        self.damage_at = None
        self.nul_bytes = content.count(b"\0")
        patterns = (("header", header_pattern(serial)), ("row", ROW), ("stop", STOP))
        position = 0
        while position < len(content):
            for kind, pattern in patterns:
                match = pattern.match(content, position)
                if match:
                    self.records.append((kind, match))
                    position = match.end()
                    break
            else:
                self.damage_at = position
                return

    def of(self, kind):
        return [match for found, match in self.records if found == kind]

    @property
    def rows(self):
        return self.of("row")

    @property
    def whole(self):
        return self.damage_at is None and self.nul_bytes == 0

    def describe_damage(self, content):
        if self.whole:
            return "whole"
        where = self.damage_at if self.damage_at is not None else content.index(b"\0")
        return "%d NUL bytes; unreadable from byte %d of %d: %r" % (
            self.nul_bytes, where, len(content), content[where:where + 16])


def seconds_of(time_text):
    """Seconds since midnight of a tagsheet's time text, b"HH-MM-SS"."""
    hours, minutes, seconds = (int(part) for part in time_text.split(b"-"))
    return hours * 3600 + minutes * 60 + seconds


def between(time_text, first, last):
    return seconds_of(first) <= seconds_of(time_text) <= seconds_of(last)


def last_seen_is_valid(content):
    """An 8-character time of day, or the one space of a clean end."""
    return content == b" " or re.fullmatch(TIME, content or b"") is not None


def tagsheet_name(date):
    return "%s/%s" % (TAGSHEETS, tagsheet.relative_path(date))


def is_tagsheet(path):
    """Whether a path is a day's tagsheet (and not, say, the report's page beside them)."""
    return re.fullmatch(re.escape(TAGSHEETS) + r"/(\d\d-\d\d-\d{4})/Non-Tag-\1\.txt", path) is not None


def exported(tagsheets, run_tagsheet, last_seen):
    """{path on the stick: bytes} an export copies from the board's tagsheets
    ({path: bytes}): the running day's closed with the stop line."""
    stop = tagsheet.stop_line(last_seen)
    return {path[len(TAGSHEETS):]: content + (stop if path == run_tagsheet else b"")
            for path, content in tagsheets.items()}
