"""The start's repair of what a power cut left, end to end: a tagsheet in each damaged shape
at start, then a run with a detection and an export, and the stick's copy read back by
kestrel-report, which must find every record whole: nothing cut short, no stop line that no
export wrote."""
import os
import time

import pytest

from sandbox import Link
from steps import end_run, header, read_csv, row, run_report, send_frames, tagsheet_path, today

UNPLUG_RADAR = """
import os, subprocess
subprocess.run(["umount", "/dev/serial0"], check=True)
os.unlink("/dev/serial0")
"""
CUT = b"\0" * 300  # the NUL bytes a cut leaves after the data that reached the card
BOM = b"\xef\xbb\xbf"


def earlier_run(date):
    """A run from just after midnight that a power cut ended: its header and one row."""
    return header(b" ", b"00-00-00") + row(date, b"00-00-01", b"2.50")


def saved_with_cr(text):
    return text.replace(b"\n", b"\r")


# name: (what the cut left, what the repair keeps), for a tagsheet of the date
SHAPES = {
    "saved with CR line ends, a row cut": lambda run: (
        saved_with_cr(run) + run.splitlines()[-1][:20] + CUT, saved_with_cr(run)),
    "saved with CR line ends and a byte-order mark": lambda run: (
        BOM + saved_with_cr(run) + CUT, BOM + saved_with_cr(run)),
    "saved with a byte-order mark": lambda run: (BOM + run + CUT, BOM + run),
    "a header cut in its gap": lambda run: (run + header(b"00-00-01", b"00-30-00")[:30] + CUT,
                                            run),
    "a header cut in its title": lambda run: (run + header(b"00-00-01", b"00-30-00")[:100] + CUT,
                                              run),
    "the only header cut in its title": lambda run: (header(b" ", b"00-00-00")[:100] + CUT, b""),
    "a header cut in its first line": lambda run: (run + b"Equipment Stop Time:00-0" + CUT, run),
    "a stop line cut in its label": lambda run: (run + b"\nEquipm" + CUT, run),
    "a stop line cut after its line end": lambda run: (run + b"\n" + CUT, run),
}


def detection_and_export(box):
    """One detection (1.25), then a stick; the files on the stick."""
    send_frames(box, 125)
    box.insert_stick("STICK")
    end_run(box)
    return box.stick_files("STICK")


def report_of_stick(tool, files, folder):
    """kestrel-report of the stick's files: its result, the runs and the detections."""
    stick = folder / "stick"
    for name, content in files.items():
        path = stick / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, Link):
            path.symlink_to(os.fsdecode(content))
        else:
            path.write_bytes(content)
    out = folder / "out"
    result = run_report(tool, stick, out)
    return result, read_csv(out / "runs.csv")[1:], read_csv(out / "detections.csv")[1:]


def assert_read_whole(result, runs, detections):
    """Nothing skipped or cut short; only the run the export ended has a stop line."""
    assert result.stderr == b""
    assert b"lines skipped         0" in result.stdout
    assert [run[6] for run in runs] == ["no"] * (len(runs) - 1) + ["yes"]
    assert detections[-1][1] == "1.25"


@pytest.mark.parametrize("shape", SHAPES)
def test_a_cut_tagsheet_is_repaired_and_read_whole(sandbox, report_tool, folder, shape):
    date = today()
    left, kept = SHAPES[shape](earlier_run(date.encode()))
    sheet = tagsheet_path(sandbox, date)
    sheet.parent.mkdir()
    sheet.write_bytes(left)
    sandbox.set_config("current_time.txt", "00-00-01")
    sandbox.start()
    files = detection_and_export(sandbox)

    content = files["%s/Non-Tag-%s.txt" % (date, date)]
    assert content.startswith(kept + b"Equipment Stop Time:00-00-01\n\n\n")
    assert content.count(b"\0") == 0
    assert_read_whole(*report_of_stick(report_tool, files, folder))


def test_a_link_that_cannot_be_opened_ends_the_start_before_the_repair(sandbox, report_tool,
                                                                        folder):
    date = today()
    sheet = tagsheet_path(sandbox, date)
    sheet.parent.mkdir()
    left = earlier_run(date.encode()) + b"\nEquipm" + CUT
    sheet.write_bytes(left)
    sandbox.start(wait=False, code=UNPLUG_RADAR + "import kestrel")
    assert sandbox.wait_exit() == 1
    assert "could not open port /dev/serial0" in sandbox.stderr()[-1].decode(errors="replace")
    assert sandbox.sudo_log() == []
    assert sheet.read_bytes() == left

    sandbox.set_config("current_time.txt", "00-00-01")
    sandbox.restart()
    files = detection_and_export(sandbox)
    content = files["%s/Non-Tag-%s.txt" % (date, date)]
    assert content.startswith(earlier_run(date.encode()) + b"Equipment Stop Time:00-00-01\n")
    assert_read_whole(*report_of_stick(report_tool, files, folder))


def test_a_tagsheet_linked_to_dev_null_ends_the_start_naming_it(sandbox, report_tool, folder):
    """Nothing of the run reaches the link's target: the header is not written through it,
    and the start ends there, naming the tagsheet, not on the flush at the run's end, which
    has nothing to flush. Yesterday's tagsheet, cut, was repaired before; the link was
    passed by."""
    date = today()
    sheet = tagsheet_path(sandbox, date)
    sheet.parent.mkdir()
    sheet.symlink_to("/dev/null")
    yesterday = time.strftime("%d-%m-%Y", time.localtime(time.time() - 86400))
    cut = tagsheet_path(sandbox, yesterday)
    cut.parent.mkdir()
    cut.write_bytes(earlier_run(yesterday.encode()) + b"Equipment Stop Time:00-0" + CUT)
    sandbox.start(wait=False)
    assert sandbox.wait_exit() == 1

    assert sandbox.stderr()[-1].decode() == (
        "OSError: [Errno 22] not a regular file: '/home/pi/Configuration/Tagsheets/%s/"
        "Non-Tag-%s.txt'" % (date, date))
    assert [argv[0] for argv in sandbox.sudo_log()] == [b"find", b"mkdir", b"chmod"]
    assert os.readlink(sheet) == "/dev/null"
    files = sandbox.tagsheet_files()
    link = files["%s/Non-Tag-%s.txt" % (date, date)]
    assert isinstance(link, Link) and link == b"/dev/null"
    assert files["%s/Non-Tag-%s.txt" % (yesterday, yesterday)] == earlier_run(yesterday.encode())
    result, runs, _ = report_of_stick(report_tool, files, folder)
    assert result.stderr == b""
    assert [run[6] for run in runs] == ["no"]  # the day linked to /dev/null holds nothing
