"""The tagsheet's records as the logger writes them, for the tests and tools that
write or read tagsheets: the same constants as tagsheet/format.h (a test in
tests/tools compares the two), as bytes.

    header     STOP_LABEL LAST_SEEN HEADER_GAP START_LABEL START_TIME "\\n"
               SERIAL_LABEL SERIAL "\\n" TITLE_LINE "\\n"
    row        DATE ROW_GAP_AFTER_DATE TIME ROW_GAP_AFTER_TIME DISTANCE "\\n"
    stop line  "\\n" STOP_LABEL LAST_SEEN

The functions take bytes or text and give bytes; LAST_SEEN and SERIAL are
written as given, line ends included.
"""
import os

STOP_LABEL = b"Equipment Stop Time:"
START_LABEL = b"Equipment Start Time:"
SERIAL_LABEL = b"Serial No:"
HEADER_GAP = b"\n\n\n"
TITLE_LINE = b"    Date       Time     Distance of Object"
MAX_EXTRA_HEADER_LINES = 8
FIXED_HEADER_LINES = 6
ROW_GAP_AFTER_DATE = b"    "
ROW_GAP_AFTER_TIME = b"        "
DATE_PATTERN = "%d-%m-%Y"
TIME_PATTERN = "%H-%M-%S"
BYTE_ORDER_MARK = b"\xef\xbb\xbf"
FILE_PREFIX = "Non-Tag-"
FILE_SUFFIX = ".txt"

# The title with the line ends around it, as it stands in a header.
TITLE = b"\n" + TITLE_LINE + b"\n"


def _bytes(text):
    return text if isinstance(text, bytes) else os.fsencode(text)


def file_name(date):
    """Non-Tag-DATE.txt, the day's tagsheet in its folder DATE."""
    return FILE_PREFIX + os.fsdecode(date) + FILE_SUFFIX


def relative_path(date):
    """DATE/Non-Tag-DATE.txt, the day's tagsheet below the tagsheets folder."""
    return os.fsdecode(date) + "/" + file_name(date)


def header(last_seen, start_time, serial=b"SN-0042\n"):
    return (STOP_LABEL + _bytes(last_seen) + HEADER_GAP + START_LABEL + _bytes(start_time)
            + b"\n" + SERIAL_LABEL + _bytes(serial) + TITLE)


def row(date, time_text, distance):
    return _bytes(date) + ROW_GAP_AFTER_DATE + _bytes(time_text) + ROW_GAP_AFTER_TIME \
        + _bytes(distance) + b"\n"


def stop_line(last_seen):
    return b"\n" + STOP_LABEL + _bytes(last_seen)
