"""Steps and record texts the end-to-end tests share: driving a run, the
tagsheet records as the logger writes them (tools/tagsheet_format.py), and
kestrel-report."""
import codecs
import csv
import io
import subprocess
import time
from pathlib import Path

import radar_sim
from tagsheet_format import TITLE, header, relative_path, row, stop_line  # noqa: F401


def today():
    return time.strftime("%d-%m-%Y")


def tagsheet_path(box, date):
    return box.tagsheets_dir / relative_path(date)


def send_frames(box, *counts):
    for count in counts:
        box.send(radar_sim.encode_frame(count))
    box.wait_consumed()


def end_run(box, times=1):
    """A byte arrives while something is listed under /media/pi."""
    box.send(b"\x00")
    box.wait_for_sudo(b"reboot", timeout=15, count=times)
    box.wait_consumed()


def export_argv(mount_point):
    return [[b"rsync", b"-avx", b"/home/pi/Configuration/Tagsheets/", mount_point],
            [b"umount", mount_point],
            [b"rm", b"-r", mount_point],
            [b"reboot"]]


# The buzzer at the end of a failed export: silence, then three groups of
# three short beeps, then silence for the restart.
FAILURE_BEEPS = ["off"] + ["blow", "off"] * 9 + ["off"]


def notes(box):
    """The program's notes on standard error, without their "kestrel: "."""
    return [line[len(b"kestrel: "):].decode(errors="replace") for line in box.stderr()
            if line.startswith(b"kestrel: ")]


def run_report(tool, stick, out):
    result = subprocess.run([str(tool), str(stick), str(out)], capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return result


def read_csv(path):
    """The rows of one of the report's CSV files, which begin with UTF-8's byte-order mark."""
    data = Path(path).read_bytes()
    assert data.startswith(codecs.BOM_UTF8), "%s does not begin with a byte-order mark" % path
    return list(csv.reader(io.StringIO(data[len(codecs.BOM_UTF8):].decode(), newline="")))
