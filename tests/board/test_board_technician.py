"""What a technician meets at a board: the status line of `systemctl status
kestrel`, a stick served while the radar is silent, exports that fail (a
stick too small, a stick that stops answering) and say why in
/var/log/kestrel/runs.log after the restart, and a card that takes no more
records: full for the logger (root's reserve left), then to its last block.

A board of its own, restored from the installed state; the tests share it in
the order they stand here, each export ending in the board's own restart."""
import base64
import hashlib
import math
import re
import shlex
import time

import pytest

import board as board_module
import conftest
import image
import machine
import records
import snapshots
import sticks

AS_FIRST_USER = "runuser -u %s -- " % image.FIRST_USER
TAGSHEETS = records.TAGSHEETS
RESTART_SECONDS = 300  # an export's end until the console answers again, with room for load
SETTLE = 15  # longer than the service's 10-second restart delay

# Frames for the status line: three distances inside the window (0.5 to
# 3.0 m), three outside it, the last of them, so the buzzer ends silent.
STATUS_FRAMES = [250, 400, 57, 300, 120, 3000]
STATUS_INSIDE = 3
STATUS = re.compile(
    r'Status: "running since (?P<date>\d\d-\d\d-\d{4}) (?P<time>\d\d:\d\d:\d\d); '
    r'(?P<frames>\d+) frames?, (?P<detections>\d+) detections?'
    r'(?:, last at (?P<last>\d\d:\d\d:\d\d))?; (?P<radar>radar [^;"]*); (?P<rest>[^"]*)"')

# An earlier day's tagsheet, filled as pi: more than the small stick holds.
FILLER_DAY = "15-06-2025"
FILLER_ROWS = 120000  # 4.2 MB of rows
SMALL_STICK_MB = 4  # 3 MiB of FAT12 behind the partition table

# What the export's step on a stick is given: 30 s, one more per tagsheet and
# per 128 KiB of them.
STEP_SECONDS = 30
BYTES_A_SECOND = 128 * 1024

CARD_FILLER = "/root/card-filler"
# Root fills the card with a file as large as df shows available: full for
# every account but root, whose reserve (5 % of the card) stays free.
FILL_CARD = ("fallocate -l $(( $(stat -f -c '%a * %S' /) )) {0}; sync; "
             "df --output=avail -B1 / | tail -n 1").format(CARD_FILLER)
# Then the reserve too, with zeros until nothing more goes: full to the last
# block, for root as well.
FILL_RESERVE = ("dd if=/dev/zero of={0}-reserve bs=64K status=none 2>/dev/null; sync; "
                "stat -f -c '%f' /").format(CARD_FILLER)
FULL_CARD_NOTE = "kestrel: the card takes no more records: "
ROW_BYTES = len(records.row(b"01-01-2026", b"00-00-00", b"1.20"))


@pytest.fixture(scope="module")
def technician(settings, figures, installed_facts):
    """The installed board, restored, the logger running."""
    started = time.monotonic()
    board = snapshots.restore(settings, settings.path("technician"))
    try:
        yield board
    finally:
        board.qemu.quit()
        found(figures)["guest_seconds"] = round(time.monotonic() - started)


def found(figures):
    return figures.setdefault("technician", {})


def today_file(board):
    return records.tagsheet_name(board.clock()[0].decode())


def wait_mounted(board, where):
    machine.wait_until(lambda: board.shell.run("findmnt -n " + where, check=False)[0] == 0, 60,
                       "the stick mounted at " + where)


def logger_lines(board, text):
    """The lines of this boot's journal from the logger that hold text."""
    output = board.shell.run("journalctl -b -u kestrel -o cat --no-pager | grep -F -- %s"
                             % shlex.quote(text), check=False)[1]
    return [line for line in output.splitlines() if line.strip()]


def status(board):
    """The Status: line of `systemctl status kestrel` as the first user reads
    it, through a pipe, so that no terminal's width shortens it."""
    text = board.shell.run(AS_FIRST_USER + "systemctl status kestrel | cat", check=False)[1]
    return STATUS.search(text)


def after_restart(board, stick_name):
    """Waits for the board's own restart, then pulls the stick left in."""
    conftest.record_boot("restart at the end of an export (%s)" % stick_name,
                         board.qemu.wait_reset(RESTART_SECONDS))
    board.qemu.pull_stick(stick_name)


def export_failure(board, notes_before, where):
    """The reason in the last line a failed export to where left in runs.log
    from note notes_before on, read after the restart as the README tells, or None."""
    text = "\n".join(board.run_notes()[notes_before:])
    reasons = re.findall(r"kestrel: export to %s failed: (.*)" % re.escape(where), text)
    return reasons[-1].strip() if reasons else None


def digests(board):
    """{path: SHA-256} of every tagsheet on the board."""
    text = board.sh("find %s -type f -name '*.txt' -exec sha256sum {} +" % TAGSHEETS)
    return {path: digest for digest, path in (line.split() for line in text.splitlines())}


def stick_digests(stick):
    return {TAGSHEETS + path: hashlib.sha256(content).hexdigest()
            for path, content in sticks.files(stick).items()}


def tagsheets_on_stick(stick):
    """The stick's files but the report's page beside the tagsheets."""
    on_stick = sticks.files(stick)
    on_stick.pop(records.PAGE_ON_STICK, None)
    return on_stick


@pytest.mark.scenario(15, "For the technician: the status line, a silent radar, failed exports, "
                     "a full card")
class TestTechnician:
    def test_status_line_shows_the_runs_frames_and_detections(self, technician, figures):
        """systemctl status kestrel by the first user: the run's start, its frames and detections"""
        board = technician
        before = machine.wait_until(lambda: status(board), 60, "the logger's Status: line")
        rows = board.rows()
        board.send_frames(STATUS_FRAMES, rate=5)
        board.wait_rows(rows + STATUS_INSIDE)

        def counted():
            line = status(board)
            if (line and int(line["frames"]) >= int(before["frames"]) + len(STATUS_FRAMES)
                    and line["radar"].startswith("radar silent for")):
                return line
        after = machine.wait_until(counted, 60, "the frames counted on the Status: line", 1)
        parsed = records.Parsed(board.shell.read_file(today_file(board)), board.serial_number())
        found(figures)["status_line"] = after.group(0)
        assert (int(after["frames"]) - int(before["frames"]),
                int(after["detections"]) - int(before["detections"])) == (
                    len(STATUS_FRAMES), STATUS_INSIDE), after.group(0)
        assert after["last"] == parsed.rows[-1].group("time").decode().replace("-", ":")
        assert (after["date"], after["time"]) == (
            board.clock()[0].decode(), parsed.of("header")[-1].group("start").decode()
            .replace("-", ":")), after.group(0)
        assert after["rest"] == "no export yet"

    def test_silent_radar_stick_is_exported_5_s_after_it_shows(self, technician, settings,
                                                               figures):
        """radar silent: a stick is exported whole 5 s after it shows in /media/pi; a restart"""
        board = technician
        assert board.buzzer_level() == 0, "the buzzer sounds before the stick"
        stick = settings.path("technician-quiet-stick.img")
        sticks.make(stick, "QUIETSTICK")
        before, last_seen = board.tagsheets(), board.last_seen()
        run_tagsheet = today_file(board)
        board.qemu.plug_stick(stick, "quiet")
        # Guest times of the mount point's appearance and of the buzzer, which
        # sounds from the moment the logger takes the stick.
        moments = board.sh(
            "until [ -e /media/pi/QUIETSTICK ]; do sleep 0.05; done; shown=$(date +%%s.%%N); "
            "until [ \"$(cat %s)\" = 1 ]; do sleep 0.05; done; echo $shown $(date +%%s.%%N)"
            % board_module.SIM_VALUE, timeout=120)
        shown, taken = (float(moment) for moment in moments.split())
        after_restart(board, "quiet")
        found(figures)["silent_radar_seconds_to_export"] = round(taken - shown, 1)
        assert 4 <= taken - shown <= 10, "exported %.1f s after the stick showed" % (
            taken - shown)
        assert tagsheets_on_stick(stick) == records.exported(before, run_tagsheet, last_seen)

    def test_stick_too_small_leaves_its_reason_in_runs_log(self, technician, settings, figures):
        """a stick too small for the tagsheets: after the restart runs.log says there is no space"""
        board = technician
        day = "%s/%s" % (TAGSHEETS, FILLER_DAY)
        filler = records.tagsheet_name(FILLER_DAY)
        header = records.header(b" ", b"08-00-05", board.serial_number())
        row = records.row(FILLER_DAY.encode(), b"10-00-00", b"1.20").decode().rstrip("\n")
        board.sh("runuser -u pi -- sh -c %s" % shlex.quote(
            "mkdir %s && { printf %%s %s | base64 -d; yes '%s' | head -n %d; } >%s" % (
                day, base64.b64encode(header).decode(), row, FILLER_ROWS, filler)), timeout=120)
        stick = settings.path("technician-small-stick.img")
        sticks.make(stick, "SMALLSTICK", size_mb=SMALL_STICK_MB)
        where = "/media/pi/SMALLSTICK"
        try:
            run_tagsheet = today_file(board)
            closed = records.exported({run_tagsheet: board.shell.read_file(run_tagsheet)},
                                      run_tagsheet, board.last_seen())
            expected = digests(board)
            expected[run_tagsheet] = hashlib.sha256(closed[run_tagsheet[len(TAGSHEETS):]]
                                                    ).hexdigest()
            notes = len(board.run_notes())
            board.qemu.plug_stick(stick, "small")
            wait_mounted(board, where)
            board.send_frames([400])
            after_restart(board, "small")
            reason = export_failure(board, notes, where)
        finally:
            board.sh("runuser -u pi -- rm -rf %s" % day)
        on_stick = stick_digests(stick)
        missing = sorted(path for path, digest in expected.items() if on_stick.get(path) != digest)
        found(figures)["small_stick_reason"] = reason
        match = re.fullmatch(r"no space left on the stick \((\S+)(?: and (\d+) more)? not copied\)",
                             reason or "")
        assert match, reason
        assert "%s/%s" % (TAGSHEETS, match.group(1)) in missing and filler in missing, missing
        assert 1 + int(match.group(2) or 0) == len(missing), (reason, missing)

    def test_stick_that_stops_answering_ends_the_export_in_time(self, technician, settings,
                                                                figures):
        """a stick that stops answering: runs.log names the export step that did not end in time"""
        board = technician
        stick = settings.path("technician-stuck-stick.img")
        sticks.make(stick, "STUCKSTICK")
        where = "/media/pi/STUCKSTICK"
        days = int(board.sh("find %s -mindepth 1 -maxdepth 1 -type d | wc -l" % TAGSHEETS))
        size = int(board.sh("cat $(find %s -type f -name '*.txt') | wc -c" % TAGSHEETS))
        stop_line = len(b"\nEquipment Stop Time:" + board.last_seen())
        limit = math.ceil(STEP_SECONDS + days + (size + stop_line) / BYTES_A_SECOND)
        notes = len(board.run_notes())
        board.qemu.plug_stick(stick, "stuck")
        try:
            # Within the 5 s the silent radar leaves: the kernel is told to
            # wait on the stick's commands as long as the test does (at its 30
            # s it would reset the stick, which QEMU answers only once the
            # held request ends), then the stick stops answering.
            board.sh("until findmnt -n %s >/dev/null; do sleep 0.05; done; "
                     "for limit in /sys/block/sd*/device/timeout; do echo 900 >$limit; done"
                     % where, timeout=60)
            board.qemu.throttle_stick("stuck", 1)
            stopped = time.monotonic()
            machine.wait_until(lambda: logger_lines(board, "kestrel: export to " + where), 600,
                               "the logger's note of the failed export", interval=2)
            noted_after = time.monotonic() - stopped
        finally:
            # The stick answers again, so that the restart can unmount it.
            board.qemu.throttle_stick("stuck", 0)
        after_restart(board, "stuck")
        reason = export_failure(board, notes, where)
        found(figures).update(stuck_stick_reason=reason,
                              stuck_stick_seconds_to_note=round(noted_after))
        match = re.fullmatch(r"(.+) did not end within (\d+) s", reason or "")
        assert match, reason
        # The report's page beside the tagsheets may count as one entry more.
        assert int(match.group(2)) in (limit, limit + 1), (reason, limit)
        assert noted_after >= int(match.group(2)), "noted %.0f s after the stick stopped" % (
            noted_after)

    def test_no_second_restart_after_a_stick_that_stopped_answering(self, technician, figures):
        """after that restart the logger runs on: no mount point is left behind to export to"""
        board = technician
        try:
            board.qemu.qmp.wait_event("RESET", 60)
        except machine.BoardError:
            restarted = False
        else:
            restarted = True
            board.qemu.boot_started = time.monotonic()
            conftest.record_boot("restart at the end of an export to a mount point left behind",
                                 board.qemu.wait_booted())
        reason = export_failure(board, 0, "/media/pi/STUCKSTICK")
        if restarted:
            found(figures)["export_at_the_next_boot"] = reason
        assert not restarted, reason

    def test_full_card_waits_for_a_stick_and_exports(self, technician, settings, figures):
        """a full card: the run notes it, stays up, drops the radar; a stick gets the tagsheets"""
        board = technician
        # Rows until the next header no longer fits in the tagsheet's last
        # block, so that the start needs a block the full card does not have.
        run_tagsheet = today_file(board)
        block = int(board.sh("stat -f -c %S /"))
        header = len(records.header(b"00-00-00", b"00-00-00", board.serial_number()))
        size = int(board.sh("stat -c %s " + run_tagsheet))
        rows = next(count for count in range(block)
                    if -(size + count * ROW_BYTES) % block < header)
        if rows:
            known = board.rows()
            board.send_frames([120] * rows, rate=20)
            board.wait_rows(known + rows)
            board.send_frames([400])  # the buzzer silent again
        size = int(board.sh("sync; stat -c %s " + run_tagsheet))
        assert -size % block < header, "the header would still fit in the tagsheet's last block"
        note = ("%s%s: No space left on device; waiting for a stick to export to"
                % (FULL_CARD_NOTE, run_tagsheet))
        stick = settings.path("technician-full-card-stick.img")
        sticks.make(stick, "CARDFULL")
        seen = {"free_bytes_left": int(board.sh(FILL_CARD, timeout=300))}
        held = board.tagsheets()
        board.shell.run("systemctl restart kestrel", check=False)
        seen["note"] = machine.wait_until(lambda: logger_lines(board, FULL_CARD_NOTE), 120,
                                          "the note of the full card", interval=2)[0]
        state = board.service()
        board.send_frames([150] * 5, rate=5)  # inside the window
        later = board.wait_up_for(SETTLE)
        kept = board.tagsheets()
        line = status(board)
        seen["buzzer"] = board.buzzer_level()
        board.qemu.plug_stick(stick, "cardfull")
        after_restart(board, "cardfull")
        notes = board.run_notes()
        found(figures)["full_card"] = seen
        assert seen["free_bytes_left"] == 0
        assert seen["note"] == note
        assert (later["MainPID"], later["NRestarts"], later["SubState"]) == (
            state["MainPID"], state["NRestarts"], "running"), (state, later)
        assert line and line["rest"].endswith(note[len("kestrel: "):]), line and line.group(0)
        # Neither the header cut short nor the radar's frames left a byte.
        assert kept == held
        assert seen["buzzer"] == 0
        assert tagsheets_on_stick(stick) == {path[len(TAGSHEETS):]: content
                                             for path, content in held.items()}
        assert note in "\n".join(notes), notes[-1:]

    def test_card_full_to_the_last_block_still_takes_a_stick(self, technician, settings,
                                                              figures):
        """a card full to the last block, root's reserve too: a stick is mounted and exported"""
        board = technician
        plugged = False
        try:
            # The card is still full since the test before: the run waits for a stick.
            machine.wait_until(lambda: logger_lines(board, FULL_CARD_NOTE), 120,
                               "the note of the full card", interval=2)
            free_blocks = int(board.sh(FILL_RESERVE, timeout=600))
            held = board.tagsheets()
            stick = settings.path("technician-last-block-stick.img")
            sticks.make(stick, "LASTBLOCK")
            board.qemu.plug_stick(stick, "lastblock")
            plugged = True
            try:
                wait_mounted(board, "/media/pi/LASTBLOCK")
            except machine.BoardError:
                said = board.shell.run("journalctl -b -q --no-pager -o cat "
                                       "-t kestrel-usb-mount | tail -n 3", check=False)[1]
                found(figures)["card_full_to_the_last_block"] = {
                    "free_blocks": free_blocks, "mount_helper": said.splitlines()}
                pytest.fail("the stick was not mounted: " + said)
            after_restart(board, "lastblock")
            plugged = False
        finally:
            if plugged:
                board.qemu.pull_stick("lastblock")
            board.sh("rm -f %s %s-reserve && sync" % (CARD_FILLER, CARD_FILLER))
        assert tagsheets_on_stick(stick) == {path[len(TAGSHEETS):]: content
                                             for path, content in held.items()}
