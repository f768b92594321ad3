"""Tagsheets, housekeeping, detections and the last-seen file, end to end."""
import re

from steps import TITLE, header, row, send_frames, tagsheet_path, today


def tagsheet(box, date):
    return tagsheet_path(box, date).read_bytes()


def header_time(content, nth=0):
    return re.findall(rb"Equipment Start Time:(\d\d-\d\d-\d\d)", content)[nth]


class TestHousekeeping:
    def test_first_and_second_start_of_a_day(self, sandbox):
        date = today()
        day = ("/home/pi/Configuration/Tagsheets/" + date).encode()
        sandbox.start()
        assert sandbox.console()[0] == b"b''"
        assert sandbox.sudo_log() == [
            [b"find", b"/home/pi/Configuration/Tagsheets", b"-name", date.encode()],
            [b"mkdir", day],
            [b"chmod", b"a+r+w", day],
        ]
        assert (sandbox.tagsheets_dir / date).stat().st_mode & 0o666 == 0o666

        sandbox.restart()
        assert sandbox.console()[0] == b"b'" + day + b"\\n'"
        sandbox.wait_for_stderr(rb"mkdir: cannot create directory .*: File exists")
        assert [argv[0] for argv in sandbox.sudo_log()] == [b"find", b"mkdir", b"chmod"] * 2
        assert tagsheet(sandbox, date).count(b"Equipment Start Time:") == 2

    def test_search_lists_every_entry_named_like_the_day(self, sandbox):
        date = today()
        (sandbox.tagsheets_dir / "01-01-2020" / date).mkdir(parents=True)
        sandbox.start()
        listed = sandbox.console()[0]
        assert listed.startswith(b"b'/home/pi/Configuration/Tagsheets/01-01-2020/" + date.encode())

    def test_missing_tagsheets_directory_ends_the_run_at_the_search(self, sandbox):
        sandbox.tagsheets_dir.rmdir()
        sandbox.start(wait=False)
        assert sandbox.wait_exit() == 1
        date = today()
        assert sandbox.stderr()[-1].decode() == (
            "subprocess.CalledProcessError: Command 'sudo find /home/pi/Configuration/Tagsheets "
            "-name \"%s\" ' returned non-zero exit status 1." % date)
        assert [argv[0] for argv in sandbox.sudo_log()] == [b"find"]
        assert sandbox.console() == []

    def test_a_shell_that_cannot_start_ends_the_run(self, sandbox):
        sandbox.start(wait=False, code="import os, subprocess\n"
                      "subprocess.run(['mount', '--bind', '/dev/null', '/bin/sh'], check=True)\n"
                      "import kestrel")
        assert sandbox.wait_exit() == 1
        assert sandbox.stderr()[-1].decode() == "PermissionError: [Errno 13] Permission denied: '/bin/sh'"
        assert sandbox.sudo_log() == []


class TestDetections:
    def test_rows_and_last_seen_time(self, sandbox):
        sandbox.set_config("Serial.txt", b"SN-\xff\xfe\r\n")
        sandbox.start()
        send_frames(sandbox, 125, 300, 100, 299, 57)
        date = today()
        content = tagsheet(sandbox, date)
        start_time = header_time(content)
        rows = content.split(TITLE, 1)[1]
        row = re.compile(rb"(\d\d-\d\d-\d{4})    (\d\d-\d\d-\d\d)        (\S+)\n")
        found = row.findall(rows)
        assert row.sub(b"", rows) == b"", "only whole rows follow the title"
        assert [distance for _, _, distance in found] == [b"1.25", b"2.99"]
        assert content.startswith(header(b" ", start_time, b"SN-\xff\xfe\n"))
        last_seen = (sandbox.config_dir / "current_time.txt").read_bytes()
        assert last_seen == found[-1][1]
        # 3.00 and 1.00 are on the bounds; 0.57 is below the window.
        assert sandbox.buzzer_log() == ["blow", "off", "off", "blow", "off"]
        assert not list(sandbox.config_dir.glob(".*"))

    def test_bound_read_as_text_is_compared_with_the_exact_distance(self, sandbox):
        sandbox.set_config("range_low.txt", "0.57")
        sandbox.start()
        send_frames(sandbox, 57)
        date = today()
        assert tagsheet(sandbox, date).endswith(b"        0.57\n")

    def test_low_bound_above_high_bound_logs_nothing(self, sandbox):
        sandbox.set_config("range_low.txt", "3")
        sandbox.set_config("range_high.txt", "1")
        sandbox.start()
        send_frames(sandbox, 200, 100, 300)
        date = today()
        assert tagsheet(sandbox, date).endswith(TITLE)
        assert sandbox.buzzer_log() == ["off"] * 3
        assert (sandbox.config_dir / "current_time.txt").read_bytes() == b" "


class TestRepairAfterAPowerCut:
    """A cut can leave a tagsheet with a tail of NUL bytes after its last whole
    record, or a write cut short on a 512-byte boundary; the next start removes
    them before its header, and keeps every whole record."""

    def test_every_tagsheet_loses_its_damaged_tail_and_nothing_else(self, sandbox):
        date = today()
        sheet = tagsheet_path(sandbox, date)
        sheet.parent.mkdir()
        first_run = header(b" ", b"08-00-05") + row(date.encode(), b"08-10-12", b"1.25")
        sheet.write_bytes(first_run + b"\0" * 300)

        def day(name, content):
            path = tagsheet_path(sandbox, name)
            path.parent.mkdir(exist_ok=True)
            path.write_bytes(content)
            return path

        rows = header(b" ", b"07-00-00") + row(b"01-01-2020", b"07-10-00", b"2.50") * 11
        cut_row = day("01-01-2020", rows + row(b"01-01-2020", b"07-10-01", b"2.50")[:512 - len(rows)])
        assert len(cut_row.read_bytes()) == 512
        stopped = header(b" ", b"07-00-00") + b"\nEquipment Stop Time: "
        cut_after_stop = day("02-01-2020", stopped + b"\0" * 5000)
        whole = day("03-01-2020", header(b" ", b"07-00-00") + b"\nEquipment Stop Time: ")
        notes = sandbox.tagsheets_dir / "03-01-2020" / "notes.txt"
        notes.write_bytes(b"not a tagsheet\0\0")

        sandbox.set_config("current_time.txt", "08-10-12")
        sandbox.start()
        content = sheet.read_bytes()
        assert content == first_run + header(b"08-10-12", header_time(content, 1))
        assert cut_row.read_bytes() == rows
        assert cut_after_stop.read_bytes() == stopped
        assert whole.read_bytes() == header(b" ", b"07-00-00") + b"\nEquipment Stop Time: "
        assert notes.read_bytes() == b"not a tagsheet\0\0"
