#!/usr/bin/python3
"""Writes a year of tagsheets as the logger leaves them, for benchmarking kestrel-report.

    generate.py FOLDER [--rows-per-day N] [--days N] [--first DD-MM-YYYY]

Every day has three runs, started at 06:00, 12:00 and 18:00: the first and the last end
with an export (a stop line), the middle one with a power cut, so the next run's header
follows its last row.
Detections come in bursts: an object walks into the window and out again, ten frames a
second. The rows of one day number about --rows-per-day.
"""
import argparse
import datetime
import os
import random
import sys
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import tagsheet_format  # noqa: E402 (the record format, checked against the logger's)

FRAMES_PER_SECOND = 10
BURST_SECONDS = 30
RUN_STARTS = [(6, "export"), (12, "power cut"), (18, "export")]


def header(last_seen, start, serial="SN-0042\n"):
    return tagsheet_format.header(last_seen, start, serial).decode()


def burst(date, second_of_day, rng):
    """Rows of one object passing: distances falling to a closest point and rising again."""
    closest = rng.uniform(1.05, 2.0)
    rows, last = [], None
    for n in range(BURST_SECONDS * FRAMES_PER_SECOND):
        second = min(second_of_day + n // FRAMES_PER_SECOND, 86399)
        time_text = "%02d-%02d-%02d" % (second // 3600, second // 60 % 60, second % 60)
        phase = abs(n / (BURST_SECONDS * FRAMES_PER_SECOND) - 0.5) * 2
        distance = "%.2f" % (closest + (2.95 - closest) * phase)
        rows.append(tagsheet_format.row(date, time_text, distance).decode())
        last = time_text
    return rows, last


def day_text(day, rows_per_day, last_seen, rng):
    date = day.strftime("%d-%m-%Y")
    bursts = max(1, rows_per_day // (BURST_SECONDS * FRAMES_PER_SECOND))
    parts = []
    for index, (hour, ending) in enumerate(RUN_STARTS):
        parts.append(header(last_seen, "%02d-00-05" % hour))
        end_hour = RUN_STARTS[index + 1][0] if index + 1 < len(RUN_STARTS) else 24
        # Bursts in distinct 30-second slots, a minute clear of the run's start and the next
        # one: the rows of a run go forward in time, as a right clock writes them.
        slots = (end_hour - hour) * 3600 // BURST_SECONDS - 4
        seconds = [hour * 3600 + 60 + slot * BURST_SECONDS
                   for slot in sorted(rng.sample(range(slots), bursts // len(RUN_STARTS)))]
        for second in seconds:
            rows, last_seen = burst(date, second, rng)
            parts.extend(rows)
        if ending == "export":
            parts.append(tagsheet_format.stop_line(last_seen).decode())
            last_seen = " "
    return "".join(parts), last_seen


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--rows-per-day", type=int, default=60000)
    parser.add_argument("--days", type=int, default=365)
    parser.add_argument("--first", default="01-01-2026")
    args = parser.parse_args()
    rng = random.Random(42)
    day = datetime.datetime.strptime(args.first, "%d-%m-%Y").date()
    last_seen = " "
    for _ in range(args.days):
        date = day.strftime("%d-%m-%Y")
        folder = args.folder / date
        folder.mkdir(parents=True, exist_ok=True)
        text, last_seen = day_text(day, args.rows_per_day, last_seen, rng)
        (folder / tagsheet_format.file_name(date)).write_text(text)
        day += datetime.timedelta(days=1)


if __name__ == "__main__":
    main()
