#!/usr/bin/python3
"""Makes the README's screenshots of kestrel-report: two weeks of tagsheets as a logger
leaves them (a day it ran without detections, two days it was off, a restart with its clock
an hour behind), the command's report.html and the page that read the same folder, both in
headless Chromium (tools/browser.py).

    tools/report_screenshots.py [OUT_DIR]    # default docs/: report.png, report-page.png
"""
import datetime
import importlib.util
import random
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from browser import open_browser
from report_page import check_done, read_folder
from tagsheet_format import relative_path, stop_line

ROOT = Path(__file__).resolve().parents[1]
TOOL = ROOT / "build" / "report" / "kestrel-report"
PAGE = ROOT / "build" / "report" / "kestrel-report.html"
FIRST = datetime.date(2026, 11, 23)
ROWS_PER_DAY = 6000


def load_generator():
    spec = importlib.util.spec_from_file_location("generate", ROOT / "bench" / "report" / "generate.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def two_weeks(folder, generate):
    """Returns nothing; writes FOLDER/DD-MM-YYYY/Non-Tag-DD-MM-YYYY.txt for the days that have one."""
    rng = random.Random(7)
    last_seen = " "
    for offset in range(14):
        day = FIRST + datetime.timedelta(days=offset)
        date = day.strftime("%d-%m-%Y")
        if offset == 9:
            # Running all day without a detection, then a power cut...
            text = generate.header(last_seen, "07-30-02")
        elif offset in (10, 11):
            continue  # ...and off until the next morning but one.
        elif offset == 12:
            # A power cut at noon; the board starts again with the time it saved an hour
            # before, so its second run starts before the first one's last row.
            rows, last = generate.burst(date, 11 * 3600 + 50 * 60, rng)
            later, last_after = generate.burst(date, 13 * 3600 + 5 * 60, rng)
            text = (generate.header(last_seen, "06-00-04") + "".join(rows)
                    + generate.header(last, "10-55-00") + "".join(later)
                    + stop_line(last_after).decode())
            last_seen = " "
        else:
            text, last_seen = generate.day_text(day, ROWS_PER_DAY, last_seen, rng)
        (folder / date).mkdir(parents=True)
        (folder / relative_path(date)).write_text(text)


def screenshots(folder, report_html, out):
    """out/report-page.png: the page, its bar and the top of the report it made of folder;
    out/report.png: report_html down to the first day's charts."""
    with open_browser("chromium", width=1100, height=1000) as browser:
        browser.open(PAGE)
        read_folder(browser, folder, timeout=120)
        check_done(browser, "to read " + str(folder))
        with browser.frame("#report"):
            browser.wait_for("dl.facts")
        browser.screenshot(out / "report-page.png")
        browser.set_viewport(1100, 1900)
        browser.open(report_html)
        browser.screenshot(out / "report.png")


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs"
    for path in (TOOL, PAGE):
        if not path.exists():
            sys.exit("%s is missing: scripts/build" % path)
    work = Path(tempfile.mkdtemp(prefix="kestrel-screenshots-"))
    try:
        two_weeks(work / "STICK", load_generator())
        subprocess.run([str(TOOL), "STICK", "report"], cwd=work, check=True,
                       stdout=subprocess.DEVNULL)
        screenshots(work / "STICK", work / "report" / "report.html", out)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("wrote %s and %s" % (out / "report.png", out / "report-page.png"))


if __name__ == "__main__":
    main()
