"""The end path: stop line, last-seen reset, export to the stick and restart."""
import re
import shutil
import time

import pytest

import radar_sim
from steps import (FAILURE_BEEPS, TITLE, end_run, export_argv, header, notes, row, run_report,
                   send_frames, tagsheet_path, today)

EXPORT_COMMANDS = [b"rsync", b"umount", b"rm", b"reboot"]


class TestEndPath:
    def test_stick_inserted_mid_stream(self, sandbox):
        sandbox.start()
        send_frames(sandbox, 200)
        sandbox.insert_stick("STICK")
        end_run(sandbox)

        assert sandbox.sudo_log()[3:] == export_argv(b"/media/pi/STICK")
        board = {str(p.relative_to(sandbox.tagsheets_dir)): p.read_bytes()
                 for p in sandbox.tagsheets_dir.rglob("*") if p.is_file()}
        assert sandbox.stick_files("STICK") == board
        content = tagsheet_path(sandbox, today()).read_bytes()
        detection_time = re.findall(rb"    (\d\d-\d\d-\d\d)        2\.00\n", content)[0]
        assert content.endswith(b"2.00\n\nEquipment Stop Time:" + detection_time)
        assert (sandbox.config_dir / "current_time.txt").read_bytes() == b" "
        assert sandbox.media_listing() == []
        # The stick sounds the buzzer until the wait before the restart is over.
        assert sandbox.buzzer_log() == ["blow", "blow", "off"]
        assert notes(sandbox) == []
        console = sandbox.console()
        assert console.index(b"Distance of object:2.00") < console.index(b"sending incremental file list")

    def test_a_folder_that_shows_before_its_mount_gets_the_copy_once_mounted(self, sandbox):
        # The USB helper makes the stick's folder a moment before it moves the
        # mounted stick onto it; a byte may come in between.
        sandbox.start()
        sandbox.make_leftover_dir("STICK")
        sandbox.send(radar_sim.encode_frame(200)[:1])
        time.sleep(0.5)
        sandbox.mount_stick("STICK")
        sandbox.wait_for_sudo(b"reboot", timeout=15)

        assert sandbox.sudo_log()[3:] == export_argv(b"/media/pi/STICK")
        assert notes(sandbox) == []
        board = {str(p.relative_to(sandbox.tagsheets_dir)): p.read_bytes()
                 for p in sandbox.tagsheets_dir.rglob("*") if p.is_file()}
        assert sandbox.stick_files("STICK") == board
        assert sandbox.buzzer_log() == ["blow", "off"]

    def test_the_loop_goes_on_after_the_restart_command(self, sandbox):
        sandbox.start()
        sandbox.insert_stick("STICK")
        end_run(sandbox)
        send_frames(sandbox, 150)
        content = tagsheet_path(sandbox, today()).read_bytes()
        assert re.search(rb"\nEquipment Stop Time: \d\d-\d\d-\d{4}    (\d\d-\d\d-\d\d)        1\.50\n$",
                         content)
        assert (sandbox.config_dir / "current_time.txt").read_bytes() != b" "

    def test_stick_present_at_start_ends_the_run_at_the_first_byte(self, sandbox):
        sandbox.make_leftover_dir("STICK")
        sandbox.start()
        sandbox.send(radar_sim.encode_frame(200)[:1])
        sandbox.wait_for_sudo(b"reboot", timeout=15)
        assert not any(line.startswith(b"Distance") for line in sandbox.console())
        assert tagsheet_path(sandbox, today()).read_bytes().endswith(TITLE + b"\nEquipment Stop Time: ")

    def test_a_stick_that_stays_listed_ends_every_pass(self, sandbox):
        sandbox.env["KESTREL_SUDO_FAIL"] = "umount"
        sandbox.start()
        sandbox.insert_stick("STICK")
        end_run(sandbox)
        end_run(sandbox, times=2)
        content = tagsheet_path(sandbox, today()).read_bytes()
        assert content.endswith(TITLE + b"\nEquipment Stop Time: \nEquipment Stop Time: ")

    def test_only_the_first_listed_entry_is_used(self, sandbox):
        sandbox.start()
        sandbox.insert_stick("ONE")
        sandbox.insert_stick("TWO")
        first = sandbox.media_listing()[0]
        end_run(sandbox)
        assert sandbox.sudo_log()[3][3] == b"/media/pi/" + first

    def test_worked_example_of_two_runs(self, sandbox):
        sandbox.start()
        send_frames(sandbox, 125, 120)
        sandbox.insert_stick("STICK")
        end_run(sandbox)
        sandbox.restart()

        content = tagsheet_path(sandbox, today()).read_bytes()
        date = today().encode()
        starts = re.findall(rb"Equipment Start Time:(\d\d-\d\d-\d\d)", content)
        detections = re.findall(rb"    (\d\d-\d\d-\d\d)        \d\.\d\d\n", content)
        assert len(starts) == 2 and len(detections) == 2
        expected = (header(b" ", starts[0])
                    + row(date, detections[0], b"1.25") + row(date, detections[1], b"1.20")
                    + b"\nEquipment Stop Time:" + detections[1]
                    + header(b" ", starts[1]))
        assert content == expected


class TestSilentRadar:
    def test_a_stick_is_served_a_few_seconds_after_it_appears(self, sandbox):
        sandbox.start()
        send_frames(sandbox, 200)
        sandbox.insert_stick("STICK")
        inserted = time.monotonic()
        sandbox.wait_for_sudo(b"reboot", timeout=15)
        assert 4.5 < time.monotonic() - inserted < 10
        assert sandbox.sudo_log()[3:] == export_argv(b"/media/pi/STICK")
        board = {str(p.relative_to(sandbox.tagsheets_dir)): p.read_bytes()
                 for p in sandbox.tagsheets_dir.rglob("*") if p.is_file()}
        assert sandbox.stick_files("STICK") == board
        assert sandbox.buzzer_log() == ["blow", "blow", "off"]
        assert notes(sandbox) == []
        # No byte was taken for it: the next frame is read whole.
        send_frames(sandbox, 150)
        assert re.search(rb"\nEquipment Stop Time:\d\d-\d\d-\d\d\d\d-\d\d-\d{4}    \d\d-\d\d-\d\d"
                         rb"        1\.50\n$", tagsheet_path(sandbox, today()).read_bytes())

    def test_a_radar_that_never_sent_a_byte(self, sandbox):
        sandbox.start()
        sandbox.insert_stick("STICK")
        sandbox.wait_for_sudo(b"reboot", timeout=15)
        assert sandbox.console()[:2] == [b"b''", b"sending incremental file list"]
        assert tagsheet_path(sandbox, today()).read_bytes().endswith(TITLE + b"\nEquipment Stop Time: ")


class TestReportPage:
    def test_the_page_at_the_top_of_the_tagsheets_goes_to_the_stick_and_is_no_tagsheet(
            self, sandbox, report_page, report_tool, folder):
        """Where the package keeps it. The start's search and repair pass it by, the export
        takes it next to the day's folder, and the report of the stick reads past it."""
        shutil.copy(report_page, sandbox.tagsheets_dir)
        date = today()
        sandbox.start()
        sandbox.insert_stick("FIRST")
        end_run(sandbox)
        sandbox.restart()
        assert sandbox.console()[0] == b"b'/home/pi/Configuration/Tagsheets/%s\\n'" % date.encode()
        send_frames(sandbox, 200)
        sandbox.insert_stick("STICK")
        end_run(sandbox, times=2)  # the sudo log holds the first run's restart too

        stick = sandbox.stick_files("STICK")
        assert sorted(stick) == ["%s/Non-Tag-%s.txt" % (date, date), "kestrel-report.html"]
        assert stick["kestrel-report.html"] == report_page.read_bytes()
        assert tagsheet_path(sandbox, date).read_bytes().count(b"Equipment Start Time:") == 2
        for name, content in stick.items():
            (folder / "stick" / name).parent.mkdir(parents=True, exist_ok=True)
            (folder / "stick" / name).write_bytes(content)
        result = run_report(report_tool, folder / "stick", folder / "out")
        assert result.stderr == b""
        assert b"  tagsheets             1\n" in result.stdout
        assert b"  lines skipped         0\n" in result.stdout


# An injected command would create "pwned" in the program's working directory.
HOSTILE_NAMES = [
    b"My Stick", b"x;touch pwned", b"$(touch pwned)", b"`touch pwned`", b"it's",
    b'say "hi"', b"-rf", b"a&touch pwned&", b"a|tee pwned", b"line\ntouch pwned",
    b"caf\xc3\xa9", b"\xff\xfe", b"*", b"'",
]


class TestMends:
    @pytest.mark.parametrize("name", HOSTILE_NAMES, ids=repr)
    def test_mount_names_reach_the_commands_as_one_path(self, sandbox, name):
        sandbox.start()
        send_frames(sandbox, 200)
        sandbox.insert_stick(name)
        end_run(sandbox)
        assert sandbox.sudo_log()[3:] == export_argv(b"/media/pi/" + name)
        assert list(sandbox.stick_files(name)) == ["%s/Non-Tag-%s.txt" % (today(), today())]
        assert not (sandbox.work / "pwned").exists()
        assert sandbox.media_listing() == []

    def test_a_stick_that_did_not_unmount_keeps_its_files(self, sandbox):
        sandbox.env["KESTREL_SUDO_FAIL"] = "umount"
        sandbox.start()
        mount_point = sandbox.insert_stick("STICK")
        with open(sandbox.inside(mount_point) + b"/holiday.jpg", "wb") as photo:
            photo.write(b"JPEG")
        end_run(sandbox)
        assert [argv[0] for argv in sandbox.sudo_log()[3:]] == [b"rsync", b"umount", b"reboot"]
        assert sandbox.stick_files("STICK")["holiday.jpg"] == b"JPEG"
        assert sandbox.is_mounted(mount_point)
        assert notes(sandbox) == ["export to /media/pi/STICK failed: the stick stayed mounted"]

    def test_a_leftover_directory_is_removed_with_what_it_holds(self, sandbox):
        sandbox.start()
        sandbox.make_leftover_dir("OLD")
        end_run(sandbox)
        assert [argv[0] for argv in sandbox.sudo_log()[3:]] == EXPORT_COMMANDS
        assert sandbox.media_listing() == []
        # The copy went to the board's own card: no export.
        assert notes(sandbox) == ["export to /media/pi/OLD failed: no stick is mounted there"]
        assert sandbox.buzzer_log() == ["blow"] + FAILURE_BEEPS

    def test_the_removal_names_only_the_mount_point(self, sandbox):
        (sandbox.work / "theDir").mkdir()
        (sandbox.work / "theDir" / "keep.txt").write_text("mine")
        sandbox.start()
        sandbox.insert_stick("STICK")
        end_run(sandbox)
        assert (sandbox.work / "theDir" / "keep.txt").read_text() == "mine"
