#!/usr/bin/python3
"""Writes one tagsheet whose rows span many distinct days, one row a day: the shape a
clock that jumps about (or a forged file) leaves, for measuring kestrel-report's memory.

    many_days.py FOLDER [--days N] [--first DD-MM-YYYY]

The default, 40,000 days from 01-01-1950 (to 2059), makes a tagsheet of 1.4 MB.
"""
import argparse
import datetime
from pathlib import Path

from generate import header


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--days", type=int, default=40000)
    parser.add_argument("--first", default="01-01-1950")
    args = parser.parse_args()
    first = datetime.datetime.strptime(args.first, "%d-%m-%Y").date()
    name = first.strftime("%d-%m-%Y")
    rows = []
    for offset in range(args.days):
        day = first + datetime.timedelta(days=offset)
        rows.append("%s    %02d-%02d-00        %d.%02d\n"
                    % (day.strftime("%d-%m-%Y"), offset % 24, offset % 60, 1 + offset % 3, offset % 100))
    folder = args.folder / name
    folder.mkdir(parents=True, exist_ok=True)
    (folder / ("Non-Tag-%s.txt" % name)).write_text(header(" ", "00-00-00") + "".join(rows))


if __name__ == "__main__":
    main()
