"""Faults and hostile input, end to end: what the user sees, and that nothing
already written is lost or altered.

Each test records for docs/reliability.md (tools/reliability_report.py) its
fault class, the number of cases it tried and what the user saw in that run.
"""
import os
import random
import re
import select
import signal
import subprocess
import time
from pathlib import Path

import pytest

import radar_sim
from hostile_names import HOSTILE_NAMES
from sandbox import TAGSHEETS_INSIDE, Sandbox
from steps import (FAILURE_BEEPS, TITLE, end_run, export_argv, header, notes, row, send_frames,
                   tagsheet_path, today)
from tagsheet_format import (HEADER_GAP, ROW_GAP_AFTER_DATE, ROW_GAP_AFTER_TIME, SERIAL_LABEL,
                             START_LABEL, STOP_LABEL, file_name)

HEADER = (STOP_LABEL + rb"(?: |\d\d-\d\d-\d\d)" + HEADER_GAP + START_LABEL + rb"\d\d-\d\d-\d\d"
          rb"\n" + SERIAL_LABEL + rb"SN-0042\n" + re.escape(TITLE))
ROW = (rb"(\d\d-\d\d-\d{4})" + ROW_GAP_AFTER_DATE + rb"(\d\d-\d\d-\d\d)" + ROW_GAP_AFTER_TIME
       + rb"(\d+\.\d\d)\n")
STOP_LINE = rb"\n" + STOP_LABEL + rb"(?: |\d\d-\d\d-\d\d)"
WHOLE_RECORDS = re.compile(rb"(?:%s|%s|%s)*" % (HEADER, ROW, STOP_LINE))
LAST_SEEN = re.compile(rb" |\d\d-\d\d-\d\d")
# Detections inside the default window 1 < distance < 3, each with its own text.
INSIDE = list(range(101, 300))


@pytest.fixture
def fault(record_property):
    """note(class, cases, seen): the report's row for this test."""
    def note(fault_class, cases, seen):
        record_property("fault_class", fault_class)
        record_property("cases", cases)
        record_property("user_sees", seen)
    return note


def rows_of(content):
    """The rows of a tagsheet, after checking it holds whole records only."""
    assert WHOLE_RECORDS.fullmatch(content), "a partial record in %r" % content[-300:]
    return re.findall(ROW, content)


def error_line(box):
    return box.stderr()[-1].decode(errors="replace")


def last_seen(box):
    return (box.config_dir / "current_time.txt").read_bytes()


def card_note(path, error):
    return "the card takes no more records: %s: %s; waiting for a stick to export to" % (path, error)


def export_what_the_card_holds(box):
    """A stick, after the card failed: it gets the tagsheets as they are, with the long tone."""
    box.wait_until(lambda: box.buzzer_log()[-1:] == ["off"], what="the failure's silence")
    buzzer_before = len(box.buzzer_log())
    box.insert_stick("STICK")
    box.wait_for_sudo(b"reboot", timeout=15)
    assert [argv[0] for argv in box.sudo_log()[3:]] == [b"rsync", b"umount", b"rm", b"reboot"]
    assert box.stick_files("STICK") == box.tagsheet_files()
    assert box.buzzer_log()[buzzer_before:] == ["blow", "off"]
    assert box.running()


class TestTagsheetStorage:
    """A card that takes no more records: the run notes why and waits for a
    stick, instead of ending in a restart loop that never exports."""

    def test_full_file_system_keeps_whole_rows_and_waits_for_a_stick(self, kestrel_module, fault):
        # 16 KiB hold about 450 rows; a row of 35 bytes now and then straddles
        # a page, so the write that meets the limit is cut short.
        with Sandbox(module=kestrel_module, tagsheets_size=16384) as box:
            box.start()
            box.send(b"".join(radar_sim.encode_frame(count) for count in INSIDE * 4))
            date = today()
            note = card_note("%s/%s/Non-Tag-%s.txt" % (TAGSHEETS_INSIDE, date, date),
                             "No space left on device")
            box.wait_for_stderr(re.escape(b"kestrel: " + note.encode()), timeout=15)
            box.wait_consumed()
            content = box.tagsheet_files()["%s/Non-Tag-%s.txt" % (date, date)]
            rows = rows_of(content)
            assert 16384 - 35 < len(content) <= 16384
            # Every detection up to the failing one has its row, in order.
            assert [distance for _, _, distance in rows] == [
                b"%.2f" % (count * 0.01) for count in (INSIDE * 4)[:len(rows)]]
            # From the failing one on, bytes are dropped and the buzzer is silent.
            distances = [line for line in box.console() if line.startswith(b"Distance")]
            assert len(distances) == len(rows) + 1
            assert box.buzzer_log()[-1] == "off"
            assert last_seen(box) == rows[-1][1]
            export_what_the_card_holds(box)
            assert notes(box) == [note]
            fault("tagsheet file system full during a burst of detections", len(rows) + 1,
                  note + "; the next stick gets the tagsheets")

    def test_read_only_card_waits_for_a_stick_from_the_header(self, sandbox, fault):
        date = today()
        day = sandbox.tagsheets_dir / date
        day.mkdir()
        earlier = STOP_LABEL + b" " + HEADER_GAP + START_LABEL + b"07-00-00\n"
        (day / file_name(date)).write_bytes(earlier)
        config = {p.name: p.read_bytes() for p in sandbox.config_dir.iterdir() if p.is_file()}
        sandbox.read_only = ["/home/pi/Configuration"]
        sandbox.start()
        note = card_note("%s/%s/Non-Tag-%s.txt" % (TAGSHEETS_INSIDE, date, date),
                         "Read-only file system")
        sandbox.wait_for_stderr(re.escape(b"kestrel: " + note.encode()))
        sandbox.send(radar_sim.encode_frame(150))
        sandbox.wait_consumed()
        assert not any(line.startswith(b"Distance") for line in sandbox.console())
        export_what_the_card_holds(sandbox)
        assert sandbox.tagsheet_files() == {"%s/Non-Tag-%s.txt" % (date, date): earlier}
        assert {p.name: p.read_bytes() for p in sandbox.config_dir.iterdir() if p.is_file()} == config
        assert notes(sandbox) == [note]
        fault("read-only Configuration directory (tagsheets included)", 1,
              note + "; the next stick gets the tagsheets")

    def test_read_only_configuration_waits_for_a_stick_from_the_first_detection(self, sandbox,
                                                                                fault):
        sandbox.read_only = ["/home/pi/Configuration"]
        sandbox.writable = [TAGSHEETS_INSIDE]
        sandbox.start()
        sandbox.send(radar_sim.encode_frame(150))
        note = card_note("/home/pi/Configuration/current_time.txt", "Read-only file system")
        sandbox.wait_for_stderr(re.escape(b"kestrel: " + note.encode()))
        # The row was written before the last-seen time, and stays whole.
        rows = rows_of(sandbox.tagsheet_files()["%s/Non-Tag-%s.txt" % (today(), today())])
        assert [distance for _, _, distance in rows] == [b"1.50"]
        assert last_seen(sandbox) == b" "
        sandbox.wait_until(lambda: sandbox.buzzer_log() == ["blow", "off"], what="the buzzer off")
        export_what_the_card_holds(sandbox)
        assert sorted(p.name for p in sandbox.config_dir.iterdir()) == [
            "Serial.txt", "Tagsheets", "current_time.txt", "range_high.txt", "range_low.txt"]
        fault("read-only Configuration directory, writable tagsheets", 1,
              note + "; the next stick gets the tagsheets")

    def test_card_remounted_read_only_during_the_run(self, kestrel_module, fault):
        with Sandbox(module=kestrel_module, tagsheets_size=65536) as box:
            box.start()
            send_frames(box, 150)
            box.run_inside(["mount", "-o", "remount,ro", TAGSHEETS_INSIDE])
            box.send(radar_sim.encode_frame(160))
            date = today()
            note = card_note("%s/%s/Non-Tag-%s.txt" % (TAGSHEETS_INSIDE, date, date),
                             "Read-only file system")
            box.wait_for_stderr(re.escape(b"kestrel: " + note.encode()))
            export_what_the_card_holds(box)
            rows = rows_of(box.tagsheet_files()["%s/Non-Tag-%s.txt" % (date, date)])
            assert [distance for _, _, distance in rows] == [b"1.50"]
            fault("tagsheet file system remounted read-only during the run", 1,
                  note + "; the next stick gets the tagsheets")

    def test_card_failing_with_io_errors(self, sandbox, fault):
        if os.environ.get("KESTREL_PYTHON"):
            pytest.skip("the preloaded fault is built for this machine's interpreter")
        shim = sandbox.py / "eio_shim.so"
        subprocess.run(["cc", "-shared", "-fPIC", "-o", str(shim),
                        str(Path(__file__).with_name("eio_shim.c")), "-ldl"], check=True)
        sandbox.env["LD_PRELOAD"] = "/run/kestrel/py/eio_shim.so"
        sandbox.env["KESTREL_EIO_WHEN"] = "/run/kestrel/log/eio"
        sandbox.start()
        send_frames(sandbox, 150)
        (sandbox.log / "eio").touch()
        sandbox.send(radar_sim.encode_frame(160))
        date = today()
        note = card_note("%s/%s/Non-Tag-%s.txt" % (TAGSHEETS_INSIDE, date, date),
                         "Input/output error")
        sandbox.wait_for_stderr(re.escape(b"kestrel: " + note.encode()))
        (sandbox.log / "eio").unlink()  # the stick's files can be read, as from a failing card
        export_what_the_card_holds(sandbox)
        rows = rows_of(sandbox.tagsheet_files()["%s/Non-Tag-%s.txt" % (date, date)])
        assert [distance for _, _, distance in rows] == [b"1.50"]
        assert notes(sandbox) == [note]
        fault("tagsheet writes failing with EIO (a preloaded write())", 1,
              note + "; the next stick gets the tagsheets")


class TestLastSeenFileRemoved:
    def test_the_next_detection_writes_it_again(self, sandbox, fault):
        sandbox.start()
        send_frames(sandbox, 120)
        (sandbox.config_dir / "current_time.txt").unlink()
        send_frames(sandbox, 130)
        rows = rows_of(sandbox.tagsheet_files()["%s/Non-Tag-%s.txt" % (today(), today())])
        assert last_seen(sandbox) == rows[-1][1]
        sandbox.insert_stick("STICK")
        end_run(sandbox)
        content = sandbox.tagsheet_files()["%s/Non-Tag-%s.txt" % (today(), today())]
        assert content.endswith(b"1.30\n\nEquipment Stop Time:" + rows[-1][1])
        assert [distance for _, _, distance in rows_of(content)] == [b"1.20", b"1.30"]
        fault("last-seen file removed during a run, a detection follows", 1,
              "nothing: the next detection writes the file again")

    def test_an_end_path_before_any_detection_stops_before_any_command(self, sandbox, fault):
        sandbox.start()
        send_frames(sandbox, 120)
        before = sandbox.tagsheet_files()
        (sandbox.config_dir / "current_time.txt").unlink()
        sandbox.insert_stick("STICK")
        sandbox.send(b"\x00")
        assert sandbox.wait_exit() == 1
        assert error_line(sandbox) == ("FileNotFoundError: [Errno 2] No such file or directory: "
                                       "'/home/pi/Configuration/current_time.txt'")
        assert [argv[0] for argv in sandbox.sudo_log()] == [b"find", b"mkdir", b"chmod"]
        assert sandbox.tagsheet_files() == before
        assert sandbox.buzzer_log()[-1] == "blow"
        assert not (sandbox.config_dir / "current_time.txt").exists()
        assert sandbox.stick_files("STICK") == {}
        fault("last-seen file removed during a run, the stick comes next", 1,
              error_line(sandbox) + "; nothing is copied, the buzzer stays on")


class TestRadarAndMedia:
    def test_media_directory_removed_mid_run(self, sandbox, fault):
        sandbox.start()
        send_frames(sandbox, 110, 120)
        before = sandbox.tagsheet_files()
        sandbox.run_inside(["umount", "/media/pi"])
        sandbox.run_inside(["rmdir", "/media/pi"])
        sandbox.send(radar_sim.encode_frame(130))
        assert sandbox.wait_exit() == 1
        assert error_line(sandbox) == "FileNotFoundError: [Errno 2] No such file or directory: '/media/pi'"
        assert sandbox.tagsheet_files() == before
        rows = rows_of(before["%s/Non-Tag-%s.txt" % (today(), today())])
        assert last_seen(sandbox) == rows[-1][1]
        fault('"/media/pi" missing', 1, error_line(sandbox))

    def test_radar_device_vanishing_mid_run(self, sandbox, fault):
        sandbox.start()
        send_frames(sandbox, 110, 120)
        before = sandbox.tagsheet_files()
        sandbox.unplug_radar()
        assert sandbox.wait_exit() == 1
        assert error_line(sandbox) == "OSError: [Errno 5] Input/output error"
        assert sandbox.tagsheet_files() == before
        assert len(rows_of(before["%s/Non-Tag-%s.txt" % (today(), today())])) == 2
        fault("radar device vanishing mid-run (pty master closed)", 1, error_line(sandbox))

    def test_frames_decode_again_from_the_second_after_garbage(self, sandbox, fault):
        """Garbage leans on the bytes that matter: headers 0C 07, markers 55 AA 0A."""
        rng = random.Random(7)
        sandbox.start()
        bursts = 30
        for burst in range(bursts):
            garbage = bytes(rng.choice([0x0C, 0x07, 0x55, 0xAA, 0x0A, rng.randrange(256)])
                            for _ in range(rng.randrange(1, 120)))
            counts = rng.sample(INSIDE, 4)
            before = sandbox.tagsheet_files()
            sandbox.send(garbage + b"".join(radar_sim.encode_frame(count) for count in counts))
            sandbox.wait_consumed()
            distances = [line for line in sandbox.console() if line.startswith(b"Distance")]
            assert distances[-3:] == [b"Distance of object:%.2f" % (c * 0.01) for c in counts[1:]], (
                "burst %d: %s" % (burst, garbage.hex()))
            after = sandbox.tagsheet_files()
            for name, content in before.items():
                assert after[name].startswith(content)
            rows_of(after["%s/Non-Tag-%s.txt" % (today(), today())])
        assert sandbox.running()
        fault("garbage bytes, then valid frames", bursts,
              "from the second valid frame on, every distance line is right")


KILLS = int(os.environ.get("KESTREL_KILLS", "200"))
KILL_WINDOW = 1.0  # seconds after the launch in which the kill falls


class TestPowerCut:
    def test_kill_at_random_moments_keeps_whole_records(self, sandbox, fault):
        seed = int(os.environ.get("KESTREL_KILL_SEED", "0")) or random.randrange(1, 1 << 30)
        rng = random.Random(seed)
        stream = b"".join(radar_sim.encode_frame(count) for count in INSIDE)
        config = {p.name: p.read_bytes() for p in sandbox.config_dir.iterdir() if p.is_file()}
        tagsheets = {}
        starts = rows = 0
        began = time.monotonic()
        for kill in range(KILLS):
            stop_time = last_seen(sandbox)
            sandbox.launch()
            deadline = time.monotonic() + rng.uniform(0, KILL_WINDOW)
            sent = 0
            while time.monotonic() < deadline:
                if select.select([], [sandbox.master], [], 0.002)[1]:
                    sent += os.write(sandbox.master, stream[sent % len(stream):][:1300])
            sandbox.kill()

            files = sandbox.tagsheet_files()
            context = "kill %d (seed %d)" % (kill, seed)
            for name, content in tagsheets.items():
                assert files[name].startswith(content), context
            for name, content in files.items():
                added = content[len(tagsheets.get(name, b"")):]
                found = rows_of(content)
                if added:
                    assert added.startswith(b"Equipment Stop Time:" + stop_time), context
                    starts += 1
                    rows += len(found) - len(rows_of(tagsheets.get(name, b"")))
            assert LAST_SEEN.fullmatch(last_seen(sandbox)), context
            tagsheets = files
            for name, content in config.items():
                if name != "current_time.txt":
                    assert (sandbox.config_dir / name).read_bytes() == content, context
        seconds = time.monotonic() - began
        assert starts > KILLS // 4 and rows > KILLS, "too few kills fell inside a run"
        fault("SIGKILL at random moments, restarted each time", KILLS,
              "%d kills in %.0f s: %d runs got past their header, %d rows in all; seed %d"
              % (KILLS, seconds, starts, rows, seed))


CONFIG_INSIDE = "/home/pi/Configuration"
CONFIG_FILES = ["range_high.txt", "range_low.txt", "current_time.txt", "Serial.txt"]
# Room enough for the interpreter, so that a run that read a device to its end
# fails with MemoryError rather than filling the machine's memory.
DATA_LIMIT = 1 << 30


def not_regular(path):
    return "OSError: [Errno 22] not a regular file: '%s'" % path


def tagsheet_inside(date):
    return "%s/%s/Non-Tag-%s.txt" % (TAGSHEETS_INSIDE, date, date)


def config_files(box):
    return {p.name: p.read_bytes() for p in box.config_dir.iterdir() if p.is_file()}


def start_ends_with(box, error):
    """A start, its memory bounded, that must end at once with this error line."""
    box.start(wait=False, command=["prlimit", "--data=%d" % DATA_LIMIT, "--"]
              + box.interpreter + ["-c", "import kestrel"])
    assert box.wait_exit() == 1
    assert error_line(box) == error
    box.kill()
    return error


class TestPlantedFiles:
    """What another account, or a fault in code running as pi, puts where the logger opens
    its own files: the run ends at once with an error naming the file, or the thing is
    passed by; nothing outside the tree is read, cut or written."""

    def test_configuration_files_that_are_no_regular_files_end_the_load(self, sandbox, fault):
        plants = (os.mkfifo, lambda path: path.symlink_to("/dev/zero"))
        for name in CONFIG_FILES:
            path = sandbox.config_dir / name
            kept = path.read_bytes()
            for plant in plants:
                path.unlink()
                plant(path)
                start_ends_with(sandbox, not_regular("%s/%s" % (CONFIG_INSIDE, name)))
            path.unlink()
            path.write_bytes(kept)
        assert sandbox.sudo_log() == []
        fault("a FIFO or a link to /dev/zero as a configuration file", len(CONFIG_FILES) * 2,
              not_regular(CONFIG_INSIDE + "/Serial.txt"))

    def test_a_configuration_file_over_4096_bytes_ends_the_load(self, sandbox, fault):
        serial = b"SN-0042\n".ljust(4096, b"0")
        sandbox.set_config("Serial.txt", serial)
        sandbox.start()
        send_frames(sandbox, 150)
        content = sandbox.tagsheet_files()["%s/Non-Tag-%s.txt" % (today(), today())]
        assert b"\nSerial No:" + serial + TITLE in content
        sandbox.kill()

        sandbox.set_config("Serial.txt", serial + b"0")
        error = start_ends_with(sandbox, "OSError: [Errno 27] longer than 4096 bytes: "
                                         "'%s/Serial.txt'" % CONFIG_INSIDE)
        # The first run's commands only: the second ends before any.
        assert [argv[0] for argv in sandbox.sudo_log()] == [b"find", b"mkdir", b"chmod"]
        fault("a configuration file over 4096 bytes", 1, error)

    def test_a_fifo_in_place_of_todays_tagsheet_ends_the_start(self, sandbox, fault):
        date = today()
        sheet = tagsheet_path(sandbox, date)
        sheet.parent.mkdir()
        os.mkfifo(sheet)
        error = start_ends_with(sandbox, not_regular(tagsheet_inside(date)))
        # Someone who reads whatever comes gets nothing either.
        reader = os.open(sheet, os.O_RDONLY | os.O_NONBLOCK)
        try:
            start_ends_with(sandbox, error)
            assert os.read(reader, 4096) == b""
        finally:
            os.close(reader)
        assert [argv[0] for argv in sandbox.sudo_log()] == [b"find", b"mkdir", b"chmod"] * 2
        fault("a FIFO in place of today's tagsheet, with and without a reader", 2, error)

    def test_a_link_in_place_of_todays_tagsheet_or_its_folder_takes_no_row(self, sandbox, fault):
        date = today()
        sheet = tagsheet_path(sandbox, date)
        elsewhere = sandbox.work / "elsewhere"
        elsewhere.mkdir()
        config = config_files(sandbox)
        sheet.parent.mkdir()
        sheet.symlink_to(CONFIG_INSIDE + "/range_high.txt")
        seen = [start_ends_with(sandbox, not_regular(tagsheet_inside(date)))]
        sheet.unlink()
        sheet.parent.rmdir()
        sheet.parent.symlink_to("/run/kestrel/work/elsewhere")
        seen.append(start_ends_with(sandbox, "NotADirectoryError: [Errno 20] Not a directory: "
                                             "'%s'" % tagsheet_inside(date)))
        assert config_files(sandbox) == config
        assert os.listdir(elsewhere) == []
        # With the link gone the next start logs as always.
        sheet.parent.unlink()
        sandbox.start()
        send_frames(sandbox, 150)
        assert [distance for _, _, distance in rows_of(sheet.read_bytes())] == [b"1.50"]
        fault("a link in place of today's tagsheet or of its day folder", 2, "; ".join(seen))

    def test_the_repair_follows_no_day_folder_that_is_a_link(self, sandbox, fault):
        yesterday = time.strftime("%d-%m-%Y", time.localtime(time.time() - 86400))
        outside = sandbox.work / "outside" / file_name(yesterday)
        outside.parent.mkdir()
        cut = (header(b" ", b"00-00-00") + row(yesterday.encode(), b"00-00-01", b"2.50")
               + STOP_LABEL + b"00-0" + b"\0" * 300)
        outside.write_bytes(cut)
        (sandbox.tagsheets_dir / yesterday).symlink_to("/run/kestrel/work/outside")
        sandbox.start()
        send_frames(sandbox, 150)
        assert outside.read_bytes() == cut
        rows = rows_of(tagsheet_path(sandbox, today()).read_bytes())
        assert [distance for _, _, distance in rows] == [b"1.50"]
        assert sandbox.running()
        fault("a day folder that is a link to a cut tagsheet outside the tree", 1,
              "nothing: the repair passes it by, the run logs")

    def test_a_link_under_the_last_seen_temporary_name_is_removed_not_written_through(
            self, sandbox, fault):
        victim = sandbox.work / "victim"
        victim.write_bytes(b"keep me")
        temporary = sandbox.config_dir / ".current_time.txt.tmp"
        temporary.symlink_to("/run/kestrel/work/victim")
        sandbox.start()
        send_frames(sandbox, 150)  # a time where the space was: the file is swapped
        rows = rows_of(tagsheet_path(sandbox, today()).read_bytes())
        assert victim.read_bytes() == b"keep me"
        current = sandbox.config_dir / "current_time.txt"
        assert not current.is_symlink() and current.read_bytes() == rows[-1][1]
        assert not os.path.lexists(temporary)
        assert sandbox.running()
        fault("a link planted under the last-seen file's temporary name", 1,
              "nothing: it is removed and the time goes into a new file")


def stick_path(name):
    return b"/media/pi/" + name


class TestExport:
    def test_full_stick(self, sandbox, fault):
        old = sandbox.tagsheets_dir / "01-01-2020"
        old.mkdir()
        (old / file_name("01-01-2020")).write_bytes(row(b"01-01-2020", b"08-00-00", b"1.50") * 6000)
        sandbox.start()
        send_frames(sandbox, 150)
        before = sandbox.tagsheet_files()
        sandbox.insert_stick("STICK", size="64k")
        end_run(sandbox)
        seen = [line.decode() for line in sandbox.stderr()
                if b"No space left on device" in line or line.startswith(b"umount:")]
        assert seen[0].startswith("rsync: [receiver] write failed on")
        # A part of rsync may still be leaving the stick when umount runs: then
        # the stick is busy, stays mounted and is not removed.
        removed = not sandbox.is_mounted(b"/media/pi/STICK")
        assert (seen[1:] == []) == removed
        assert [argv[0] for argv in sandbox.sudo_log()[3:]] == (
            [b"rsync", b"umount"] + [b"rm"] * removed + [b"reboot"])
        after = sandbox.tagsheet_files()
        today_file = "%s/Non-Tag-%s.txt" % (today(), today())
        assert after[today_file] == before[today_file] + b"\nEquipment Stop Time:" + rows_of(
            before[today_file])[-1][1]
        assert {k: v for k, v in after.items() if k != today_file} == {
            k: v for k, v in before.items() if k != today_file}
        # The check of the copy finds both tagsheets missing on a full stick;
        # it names the first it came to, in the folder's order.
        [note] = notes(sandbox)
        assert re.fullmatch(r"export to /media/pi/STICK failed: no space left on the stick "
                            r"\((01-01-2020|%s)/Non-Tag-\1\.txt and 1 more not copied\)" % today(),
                            note), note
        assert sandbox.buzzer_log() == ["blow", "blow"] + FAILURE_BEEPS
        fault("export: stick full", 1, "; ".join(seen) + "; " + note
              + "; three groups of three beeps; the restart still comes")

    def test_read_only_stick(self, sandbox, fault):
        sandbox.start()
        send_frames(sandbox, 150)
        mount_point = sandbox.insert_stick("STICK")
        sandbox.run_inside([b"mount", b"-o", b"remount,bind,ro", mount_point])
        end_run(sandbox)
        assert [argv[0] for argv in sandbox.sudo_log()[3:]] == [b"rsync", b"umount", b"rm", b"reboot"]
        name = "%s/Non-Tag-%s.txt" % (today(), today())
        note = "export to /media/pi/STICK failed: the stick is read-only (%s not copied)" % name
        assert notes(sandbox) == [note]
        assert sandbox.buzzer_log() == ["blow", "blow"] + FAILURE_BEEPS
        assert sandbox.stick_files("STICK") == {}
        fault("export: stick mounted read-only", 1, note + "; three groups of three beeps")

    def test_a_copy_that_failed_leaves_a_stick_without_the_tagsheets(self, sandbox, fault):
        sandbox.env["KESTREL_SUDO_FAIL"] = "rsync"
        sandbox.start()
        send_frames(sandbox, 150)
        sandbox.insert_stick("STICK")
        end_run(sandbox)
        name = "%s/Non-Tag-%s.txt" % (today(), today())
        note = "export to /media/pi/STICK failed: %s is missing on the stick" % name
        assert notes(sandbox) == [note]
        assert sandbox.buzzer_log() == ["blow", "blow"] + FAILURE_BEEPS
        assert [argv[0] for argv in sandbox.sudo_log()[3:]] == [b"rsync", b"umount", b"rm", b"reboot"]
        fault("export: the copy fails on a stick with room", 1, note + "; three groups of three beeps")

    def test_busy_stick_is_not_emptied(self, sandbox, fault):
        sandbox.start()
        mount_point = sandbox.insert_stick("STICK")
        photo = sandbox.inside(mount_point) + b"/holiday.jpg"
        with open(photo, "wb") as busy:  # an open file keeps the stick busy
            busy.write(b"JPEG")
            busy.flush()
            end_run(sandbox)
            assert [argv[0] for argv in sandbox.sudo_log()[3:]] == [b"rsync", b"umount", b"reboot"]
            seen = [line.decode() for line in sandbox.stderr() if line.startswith(b"umount:")]
            assert seen == ["umount: /media/pi/STICK: target is busy."]
            assert sandbox.is_mounted(mount_point)
            assert notes(sandbox) == ["export to /media/pi/STICK failed: the stick stayed mounted"]
            assert sandbox.buzzer_log() == ["blow"] + FAILURE_BEEPS
        files = sandbox.stick_files("STICK")
        assert files["holiday.jpg"] == b"JPEG"
        assert files["%s/Non-Tag-%s.txt" % (today(), today())] == sandbox.tagsheet_files()[
            "%s/Non-Tag-%s.txt" % (today(), today())]
        fault("export: stick busy, the unmount fails", 1,
              seen[0] + "; no removal; the note and the beeps say it failed; restart")

    def test_stick_pulled_during_the_copy(self, sandbox, fault):
        # Five years of daily tagsheets make the copy long enough to catch.
        for day in range(1800):
            folder = sandbox.tagsheets_dir / ("%02d-01-%04d" % (day % 28 + 1, 2000 + day // 28))
            folder.mkdir()
            (folder / file_name(folder.name)).write_bytes(b"x" * 200)
        before = sandbox.tagsheet_files()
        sandbox.start()
        mount_point = sandbox.insert_stick("STICK", size="16m")
        sandbox.send(b"\x00")
        stick = sandbox.inside(mount_point)
        first = stick + b"/01-01-2000/Non-Tag-01-01-2000.txt"  # rsync goes in name order
        sandbox.wait_until(lambda: os.path.exists(first), 15, "rsync's first file")
        rsync = [pid for pid in sandbox.pids() if _comm(pid) == "rsync"]
        assert rsync, "the copy ended before the stick could be pulled"
        for pid in rsync:
            os.kill(pid, signal.SIGSTOP)
        try:
            copied = sum(len(names) for _, _, names in os.walk(stick))
            assert 0 < copied < len(before), "not in the middle of the copy"
            # The platform notices the stick is gone: lazy unmount, mount point removed.
            sandbox.run_inside([b"umount", b"-l", mount_point])
            sandbox.run_inside([b"rmdir", mount_point])
        finally:
            for pid in rsync:
                os.kill(pid, signal.SIGCONT)
        sandbox.wait_for_sudo(b"reboot", timeout=30)
        assert [argv[0] for argv in sandbox.sudo_log()[3:]] == [b"rsync", b"umount", b"rm", b"reboot"]
        seen = [line.decode() for line in sandbox.stderr() if line.startswith((b"umount:", b"rm:"))]
        assert sandbox.media_listing() == []
        assert notes(sandbox) == ["export to /media/pi/STICK failed: the stick went away"]
        assert sandbox.buzzer_log() == ["blow"] + FAILURE_BEEPS
        after = sandbox.tagsheet_files()
        today_file = "%s/Non-Tag-%s.txt" % (today(), today())
        assert {k: v for k, v in after.items() if k != today_file} == before
        fault("export: stick pulled during the copy", 1,
              "%s; the restart still comes (pulled after %d of %d files)"
              % ("; ".join(seen), copied, len(after)))

    def test_listing_names_a_plain_file(self, sandbox, fault):
        sandbox.start()
        send_frames(sandbox, 150)
        before = sandbox.tagsheet_files()
        (sandbox.media / "notes.txt").write_bytes(b"not a stick")
        end_run(sandbox)
        assert sandbox.sudo_log()[3:] == export_argv(b"/media/pi/notes.txt")
        seen = [line.decode() for line in sandbox.stderr()
                if line.startswith((b"ERROR:", b"umount:"))]
        assert seen == ["ERROR: destination must be a directory when copying more than 1 file",
                        "umount: /media/pi/notes.txt: not mounted."]
        # The entry goes, so the next start logs again instead of restarting at once.
        assert sandbox.media_listing() == []
        assert notes(sandbox) == ["export to /media/pi/notes.txt failed: no stick is mounted there"]
        today_file = "%s/Non-Tag-%s.txt" % (today(), today())
        assert sandbox.tagsheet_files()[today_file].startswith(before[today_file])
        send_frames(sandbox, 160)
        assert sandbox.console()[-1] == b"Distance of object:1.60"
        fault("export: the listing names a plain file", 1, "; ".join(seen) + "; the file is removed")

    def test_hostile_mount_names_run_no_injected_command(self, sandbox, fault):
        sandbox.start()
        send_frames(sandbox, 150)
        for done, name in enumerate(HOSTILE_NAMES, 1):
            sandbox.insert_stick(name)
            end_run(sandbox, times=done)
            assert sandbox.sudo_log()[-4:] == export_argv(stick_path(name)), name
            assert sandbox.stick_files(name) == sandbox.tagsheet_files(), name
            assert sandbox.media_listing() == [], name
            # The canary: every injected command would leave a file here.
            assert os.listdir(sandbox.work) == [], name
        fault("export: hostile mount names", len(HOSTILE_NAMES),
              "each name reaches rsync, umount and rm as one path; no injected command ran")


class TestHangs:
    """A step of the export that never ends (a stick stuck in the kernel): the
    fake sudo ignores SIGTERM, so only SIGKILL after the grace time ends it."""

    def hang_in(self, box, command):
        box.env["KESTREL_SUDO_HANG"] = command
        box.start()
        send_frames(box, 150)
        box.insert_stick("STICK")
        began = time.monotonic()
        box.send(b"\x00")
        box.wait_for_sudo(b"reboot", timeout=90)
        return time.monotonic() - began

    def test_a_copy_that_never_ends_is_ended_and_the_export_goes_on(self, sandbox, fault):
        took = self.hang_in(sandbox, "rsync")
        # Half a minute, a second for the one tagsheet, then SIGTERM, SIGKILL.
        assert 31 < took < 45
        assert [argv[0] for argv in sandbox.sudo_log()[3:]] == [b"rsync", b"umount", b"rm", b"reboot"]
        [note] = notes(sandbox)
        assert note == ("export to /media/pi/STICK failed: sudo rsync -avx "
                        "/home/pi/Configuration/Tagsheets/ /media/pi/STICK did not end within 32 s")
        assert sandbox.buzzer_log() == ["blow", "blow"] + FAILURE_BEEPS
        assert not [pid for pid in sandbox.pids()
                    if _comm(pid) == "sudo" and b"\0rsync\0" in _cmdline(pid)], "the copy still runs"
        # The next start logs again.
        sandbox.restart()
        send_frames(sandbox, 160)
        rows = rows_of(tagsheet_path(sandbox, today()).read_bytes())
        assert [distance for _, _, distance in rows] == [b"1.50", b"1.60"]
        fault("export: the copy never ends", 1,
              "after %.0f s: %s; three groups of three beeps; unmount, removal and restart "
              "follow" % (took, note))

    def test_an_unmount_that_never_ends_leaves_the_stick_alone(self, sandbox, fault):
        took = self.hang_in(sandbox, "umount")
        assert 31 < took < 45
        assert [argv[0] for argv in sandbox.sudo_log()[3:]] == [b"rsync", b"umount", b"reboot"]
        [note] = notes(sandbox)
        assert note == ("export to /media/pi/STICK failed: sudo umount /media/pi/STICK "
                        "did not end within 32 s")
        assert sandbox.buzzer_log() == ["blow", "blow"] + FAILURE_BEEPS
        files = sandbox.stick_files("STICK")
        assert files == {k: v for k, v in sandbox.tagsheet_files().items()}
        fault("export: the unmount never ends", 1,
              "after %.0f s: %s; three groups of three beeps; no removal; restart" % (took, note))


def _cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
            return cmdline.read()
    except OSError:
        return b""


def _comm(pid):
    try:
        with open("/proc/%d/comm" % pid) as comm:
            return comm.read().strip()
    except OSError:
        return ""
