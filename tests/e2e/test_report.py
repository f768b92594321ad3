"""kestrel-report on a real export: two runs of the logger in the sandbox, the stick's copy
read back, the CSV checked against the tagsheet, the page drawn by a headless Chromium
(tools/browser.py)."""
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from steps import end_run, header, read_csv, row, run_report, send_frames, stop_line
from tagsheet_format import file_name

ROW = re.compile(rb"(\d\d)-(\d\d)-(\d{4})    (\d\d)-(\d\d)-(\d\d)        (\d+\.\d\d)\n")
BAR_BLUE, RANGE_RED = (0x2F, 0x6F, 0xB3), (0xC0, 0x39, 0x2B)


def two_runs_and_an_export(box):
    """Run 1: two detections, a stick, one more detection after the restart command.
    Run 2: one detection and an export to a second stick. Returns that stick's files."""
    box.start()
    send_frames(box, 125, 300, 200)  # 3.00 is on the window's bound: no row
    box.insert_stick("FIRST")
    end_run(box)
    send_frames(box, 150)  # after the stop line, before the restart ends the process
    box.restart()
    send_frames(box, 175)
    box.insert_stick("SECOND")
    end_run(box, times=2)  # the sudo log holds the first run's restart too
    return box.stick_files("SECOND")


def expected_detections(files):
    """(ISO time, distance, file, line) of every row, found in the raw tagsheet bytes."""
    found = []
    for name, content in sorted(files.items()):
        for match in ROW.finditer(content):
            day, month, year, hour, minute, second, distance = (g.decode() for g in match.groups())
            line = content.count(b"\n", 0, match.start()) + 1
            found.append(["%s-%s-%sT%s:%s:%s" % (year, month, day, hour, minute, second),
                          distance, name, str(line)])
    return found


def test_report_of_an_exported_stick_matches_the_runs(sandbox, report_tool, folder):
    files = two_runs_and_an_export(sandbox)
    stick = folder / "stick"
    for name, content in files.items():
        (stick / name).parent.mkdir(parents=True, exist_ok=True)
        (stick / name).write_bytes(content)
    result = run_report(report_tool, stick, folder / "out")

    assert len(files) == 1, "both runs started today"
    [(name, content)] = files.items()
    detections = read_csv(folder / "out" / "detections.csv")
    assert detections[0] == ["time", "distance", "file", "line"]
    assert detections[1:] == expected_detections(files)
    assert [row[1] for row in detections[1:]] == ["1.25", "2.00", "1.50", "1.75"]

    starts = re.findall(rb"Equipment Start Time:(\d\d)-(\d\d)-(\d\d)", content)
    day = name.split("/")[0].split("-")
    last_seen = {row[1]: row[0][11:].replace(":", "-") for row in detections[1:]}
    # Run 2's header follows the row written after run 1's stop line, on the next line.
    runs = read_csv(folder / "out" / "runs.csv")
    assert runs == [
        ["date", "start_time", "last_seen_before", "stop_text", "serial_number", "rows",
         "stopped", "file", "line", "clock"],
        ["-".join(reversed(day)), ":".join(g.decode() for g in starts[0]), "\t ",
         "\t" + last_seen["2.00"], "\tSN-0042", "3", "yes", name, "1", "ok"],
        ["-".join(reversed(day)), ":".join(g.decode() for g in starts[1]), "\t" + last_seen["1.50"],
         "\t" + last_seen["1.75"], "\tSN-0042", "1", "yes", name, str(int(detections[3][3]) + 1),
         "ok"],
    ]
    assert b"lines skipped         0" in result.stdout
    assert b"closest distance      1.25 m at " in result.stdout
    assert result.stderr == b""


def test_the_command_and_the_page_tell_the_changelogs_newest_version(report_tool, report_page):
    newest = (Path(__file__).parents[2] / "debian" / "changelog").read_text().splitlines()[0]
    version = re.fullmatch(r"kestrel \(([^)]+)\) .*", newest).group(1)
    told = subprocess.run([str(report_tool), "--version"], capture_output=True, text=True,
                          check=True)
    assert told.stdout == "kestrel-report %s\n" % version
    assert '<span id="version">version %s</span>' % version in report_page.read_text()


def test_a_folder_that_cannot_be_read_is_skipped_with_a_note(report_tool, folder):
    stick = folder / "stick"
    for date in ("07-12-2026", "08-12-2026"):
        (stick / date).mkdir(parents=True)
        (stick / date / file_name(date)).write_bytes(
            header(b" ", b"08-00-00") + row(date, b"08-00-01", b"1.25"))
    (stick / "08-12-2026").chmod(0)
    # Root reads any folder: without the capabilities that let it, as an ordinary account.
    as_account = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"] if os.geteuid() == 0 else []
    try:
        result = subprocess.run(as_account + [str(report_tool), str(stick), str(folder / "out")],
                                capture_output=True, timeout=60)
    finally:
        (stick / "08-12-2026").chmod(0o755)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    assert result.stderr == b"08-12-2026: cannot read: Permission denied; skipped\n"
    assert b"folders not read      1\n" in result.stdout
    runs = read_csv(folder / "out" / "runs.csv")
    assert [run[0] for run in runs[1:]] == ["2026-12-07"]
    assert len(read_csv(folder / "out" / "detections.csv")) == 2


def page_pixels(page, png):
    """Width, height and pixels of the page as Chromium shows it in a view of 1100 x 1400,
    saved as png."""
    from browser import open_browser, png_pixels  # Selenium: only where a browser is installed
    with open_browser("chromium", width=1100, height=1400) as browser:
        browser.open(page)
        browser.screenshot(png)
    assert Path(png).is_file(), "Chromium saved no screenshot"
    data = Path(png).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    # The header's bit depth and colour type: 8-bit RGB or RGBA, as Chromium writes.
    assert data[24:26] in (b"\x08\x02", b"\x08\x06"), "unexpected PNG format"
    return png_pixels(png)


def close_to(pixel, colour, tolerance=24):
    return all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))


def test_page_shows_its_charts_in_a_real_browser(report_tool, folder):
    if shutil.which("chromium") is None:
        pytest.fail("chromium is missing: scripts/install-deps browser installs it", pytrace=False)
    day = folder / "in" / "07-12-2026"
    day.mkdir(parents=True)
    rows = b"".join(row(b"07-12-2026", b"%02d-%02d-00" % (8 + n // 60, n % 60), b"%d.%02d" % (1 + n % 2, n % 100))
                    for n in range(0, 240, 3))
    (day / file_name("07-12-2026")).write_bytes(header(b" ", b"08-00-00") + rows + stop_line(b"11-57-00"))
    run_report(report_tool, folder / "in", folder / "out")
    page = folder / "out" / "report.html"
    html = page.read_text()
    assert html.count("<svg") == 3, "detections per day, then per hour and distance for the day"
    assert '<path class="range"' in html and html.count('<rect class="bar"') == 1 + 4
    assert "<script" not in html and "http://" not in html.replace("http://www.w3.org/2000/svg", "")

    width, height, pixels = page_pixels(page, folder / "page.png")
    assert (width, height) == (1100, 1400)
    not_white = sum(1 for p in pixels if min(p) < 240)
    assert not_white > len(pixels) // 100, "the page is blank"
    assert sum(1 for p in pixels if close_to(p, BAR_BLUE)) > 500, "no bars drawn"
    assert sum(1 for p in pixels if close_to(p, RANGE_RED)) > 200, "no distance strokes drawn"
