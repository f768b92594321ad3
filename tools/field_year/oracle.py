"""The field year's oracle: what the radar produced against what landed on the
card and on the sticks. It reads tagsheets by the few rules of their format
written out here, and shares no code with the logger or kestrel-report.

A tagsheet is lines joined by LF. A line is one of:

    ""                                          the gaps of a header, a stop line's LF
    "Equipment Stop Time:" [TIME | " "]         a header's first line or a stop line,
                                                a stop line joined to the next header
                                                or to a row that followed it
    "Equipment Start Time:" TIME
    "Serial No:" SERIAL
    "    Date       Time     Distance of Object"
    DATE "    " TIME "        " DISTANCE        a row: DATE dd-mm-yyyy, TIME HH-MM-SS,
                                                DISTANCE digits "." two digits

Every line but a stop line ends with LF, so a file ends with LF or with a
stop line. A detection is known by its row's (date, time, distance): the
radar's side gives every detection of a run a distance of its own within
any few seconds (see Detections), so two equal rows in one tagsheet, or on
one stick, are the same detection written twice.
"""
import re
import time
from collections import Counter

TIME = rb"(?:[01]\d|2[0-3])-[0-5]\d-[0-5]\d"
DATE = rb"(?:0[1-9]|[12]\d|3[01])-(?:0[1-9]|1[0-2])-\d{4}"
STOP = rb"Equipment Stop Time:(?:" + TIME + rb"| )?"
ROW = rb"(" + DATE + rb")    (" + TIME + rb")        (\d+\.\d\d)"
ROW_TEXT = DATE + rb"    " + TIME + rb"        \d+\.\d\d"
TITLE = b"    Date       Time     Distance of Object"


def line_grammar(serial):
    """The regular expression every line of a tagsheet must match in full."""
    return re.compile(
        b"|".join([
            b"",
            STOP + b"(?:" + STOP + b")?",
            STOP + ROW_TEXT,
            b"Equipment Start Time:" + TIME,
            b"Serial No:" + re.escape(serial.rstrip(b"\r\n")),
            re.escape(TITLE),
            ROW,
        ]))


ROW_AT_END = re.compile(ROW + rb"$")
LAST_SEEN = re.compile(rb" |" + TIME)


def damaged_lines(content, serial):
    """The lines of a tagsheet that break its grammar, as (line number, text);
    an unfinished last line that is no stop line counts too."""
    grammar = line_grammar(serial)
    *ended, last = content.split(b"\n")
    damaged = [(number, line) for number, line in enumerate(ended, 1)
               if not grammar.fullmatch(line)]
    if last and not re.fullmatch(STOP + b"(?:" + STOP + b")?", last):
        damaged.append((len(ended) + 1, b"unfinished: " + last))
    return damaged


def row_keys(content):
    """Counter of (date, time, distance) over the rows of a tagsheet; a row
    joined to a stop line counts too."""
    keys = Counter()
    for line in content.split(b"\n"):
        found = ROW_AT_END.search(line)
        if found:
            keys[found.groups()] += 1
    return keys


def distance_text(count):
    """The distance text of a frame's count, as a row carries it."""
    return b"%d.%02d" % (count // 100, count % 100)


class LocalTexts:
    """(date, time) texts of whole seconds in the local time zone, remembered."""

    def __init__(self):
        self._texts = {}

    def of(self, second):
        texts = self._texts.get(second)
        if texts is None:
            local = time.localtime(second)
            texts = (time.strftime("%d-%m-%Y", local).encode(), time.strftime("%H-%M-%S", local).encode())
            self._texts[second] = texts
        return texts


class Batch:
    """Frames written to the radar line in one go: the detections among them by
    their counts, when they went (real time), and the fake time before they were
    written and once the logger had printed the last one's distance."""

    __slots__ = ("written", "fake_from", "fake_to", "counts", "end_frame", "run")

    def __init__(self, written, fake_from, counts, end_frame, run):
        self.written = written
        self.fake_from = fake_from
        self.fake_to = None  # set once the logger has handled the batch's last frame
        self.counts = counts
        self.end_frame = end_frame  # frames of the run up to the batch's last
        self.run = run

    def seconds(self, slack=1.0):
        """The whole seconds of fake time in which a row of this batch may be stamped."""
        last = (self.fake_to if self.fake_to is not None else self.fake_from + 30) + slack
        return range(int(self.fake_from) - 1, int(last) + 1)


def candidate_keys(batch, count, texts):
    distance = distance_text(count)
    return [texts.of(second) + (distance,) for second in batch.seconds()]


def find(batch, count, keys, texts):
    """The key of the row that holds this detection among keys, or None."""
    for key in candidate_keys(batch, count, texts):
        if keys.get(key):
            return key
    return None


def unexplained_duplicates(keys, batches, texts):
    """Keys counted more often than detections could have written them."""
    doubled = {key: number for key, number in keys.items() if number > 1}
    if not doubled:
        return {}
    could = Counter()
    for batch in batches:
        for count in batch.counts:
            for key in candidate_keys(batch, count, texts):
                if key in doubled:
                    could[key] += 1
    return {key: number for key, number in doubled.items() if number > max(could[key], 1)}
