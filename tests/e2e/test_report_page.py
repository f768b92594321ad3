"""kestrel-report.html in Debian's Chromium, Firefox ESR and WebKitGTK (tools/report_page.py,
tools/browser.py): the logger exported it in the sandbox with the tagsheets, from the top of
the tagsheet tree where the package keeps it; opened from the stick through file://, it reads
the stick and shows and saves what the command writes for the same folder, byte for byte.
libfaketime sets the logger's clock: right in one case, wrong in the other."""
import glob
import shutil
import subprocess

import pytest

from browser import BROWSERS
from report_page import OUTPUTS, make_report
from sandbox import Sandbox
from steps import end_run, send_frames


@pytest.fixture(scope="module")
def faketime():
    found = glob.glob("/usr/lib/*/faketime/libfaketime.so.1")
    if not found:
        pytest.fail("libfaketime is missing: scripts/install-deps e2e installs it", pytrace=False)
    return found[0]


def runs_at(box, faketime, runs):
    """One run of the logger per (clock, distances, ending): the clock starts at that local
    time and runs on; ending is "export" (a stick) or "power cut". Returns the files the
    last export copied."""
    exports = 0
    for index, (clock, distances, ending) in enumerate(runs):
        box.env.update(LD_PRELOAD=faketime, FAKETIME="@" + clock, DONT_FAKE_MONOTONIC="1",
                       FAKETIME_DONT_FAKE_MONOTONIC="1")
        if index == 0:
            box.start()
        else:
            box.restart()
        send_frames(box, *distances)
        if ending == "export":
            exports += 1
            box.insert_stick("STICK")
            end_run(box, times=exports)
    assert ending == "export"
    return box.stick_files("STICK")


def exported(kestrel_module, report_page, faketime, runs):
    """The files of the last export of the runs, the page at the top of the tagsheets."""
    with Sandbox(module=kestrel_module) as box:
        shutil.copy(report_page, box.tagsheets_dir)
        return runs_at(box, faketime, runs)


@pytest.fixture(scope="module")
def clock_right(kestrel_module, report_page, faketime):
    return exported(kestrel_module, report_page, faketime, [
        ("2026-12-07 08:00:00", (125, 200), "export"),
        ("2026-12-07 09:30:00", (150,), "power cut"),
        ("2026-12-08 07:00:00", (175, 180), "export"),
    ])


@pytest.fixture(scope="module")
def clock_wrong(kestrel_module, report_page, faketime):
    return exported(kestrel_module, report_page, faketime, [
        ("2026-12-07 10:00:00", (125, 200), "power cut"),
        # Started again with the time saved before the cut, an hour behind.
        ("2026-12-07 09:00:00", (150,), "export"),
        # A clock that was reset, and one far ahead.
        ("2000-01-01 00:00:05", (175,), "export"),
        ("2099-06-01 12:00:00", (180,), "export"),
    ])


def command_report(tool, folder):
    """The command's outputs and the facts it prints, run on folder/STICK from folder."""
    result = subprocess.run([str(tool), "STICK", "command"], cwd=folder, capture_output=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    facts = [line[2:24].rstrip() + "\t" + line[24:] for line in result.stdout.decode().splitlines()
             if line.startswith("  ")]
    return facts, result.stderr.decode()


def page_report(browser, folder, files):
    """What the page on the stick shows and saves in the browser."""
    (folder / "page").mkdir()
    shown = make_report(folder / "STICK" / "kestrel-report.html", folder / "STICK",
                        folder / "page", timeout=300, browser_name=browser)
    assert shown["state"] == "done", shown["status"]
    assert shown["errors"] == []
    # The page was given every file of the folder, each with its path in it.
    assert sorted(shown["chosen"]) == sorted("STICK/" + name for name in files)
    return ["%s\t%s" % (name, value) for name, value in shown["facts"]], shown["skipped"]


def same_report(browser, tool, folder, files):
    """Makes the report of the exported files with the page in the browser and with the
    command, checks that they agree byte for byte, neither with a word about the page, and
    returns the runs and the page's facts."""
    assert "kestrel-report.html" in files
    for name, content in files.items():
        (folder / "STICK" / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / "STICK" / name).write_bytes(content)
    command_facts, command_problems = command_report(tool, folder)
    page_facts, page_problems = page_report(browser, folder, files)
    assert page_facts == command_facts
    assert page_problems == command_problems == ""
    for name in OUTPUTS:
        assert (folder / "page" / name).read_bytes() == (folder / "command" / name).read_bytes(), name
    runs = (folder / "page" / "runs.csv").read_text().splitlines()
    return [line.split(",") for line in runs[1:]], dict(fact.split("\t") for fact in page_facts)


@pytest.mark.parametrize("browser", BROWSERS)
def test_the_page_makes_the_commands_report_of_an_export(clock_right, report_tool, browser,
                                                         folder):
    runs, facts = same_report(browser, report_tool, folder, clock_right)
    assert [(run[0], run[6], run[-1]) for run in runs] == [
        ("2026-12-07", "yes", "ok"), ("2026-12-07", "no", "ok"), ("2026-12-08", "yes", "ok")]
    assert facts["clock"] == "ok"
    assert facts["detections"] == "5"
    assert (facts["first day"], facts["last day"]) == ("2026-12-07", "2026-12-08")
    assert facts["days the logger ran"] == "2 of 2"
    html = (folder / "page" / "report.html").read_text()
    assert "class=\"clock\"" not in html and "<tr class=\"flag\">" not in html


@pytest.mark.parametrize("browser", BROWSERS)
def test_the_page_flags_a_wrong_clock(clock_wrong, report_tool, browser, folder):
    runs, facts = same_report(browser, report_tool, folder, clock_wrong)
    # Read in date order: the reset clock's tagsheet comes first, the one far ahead last.
    assert [(run[0], run[-1]) for run in runs] == [
        ("2000-01-01", "dates before the first release (2026-06-01)"),
        ("2026-12-07", "ok"),
        ("2026-12-07", "starts before the previous run's last row"),
        ("2099-06-01", "dates after the export (in the future)"),
    ]
    assert facts["clock"] == "wrong in 3 of 4 runs"
    html = (folder / "page" / "report.html").read_text()
    assert html.count("<tr class=\"flag\">") == 3
    assert "<b>The logger's clock was wrong in 3 of 4 runs</b>" in html
    assert "<b>What to do:</b> fit the logger with a clock" in html
