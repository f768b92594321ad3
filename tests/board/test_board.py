"""The package on a booted board: installed with apt, started by systemd,
driven through the UART, the GPIO line, a USB stick and a restart. One boot
serves the tests in the order they stand here."""
import hashlib
import re
import shlex
import subprocess
import time

import pytest

import conftest
import machine
import records
import snapshots
import sticks

WINDOW_FRAMES = [250, 400, 57, 300, 299, 50, 51, 120, 3000, 0]  # window 0.5 to 3.0
INSIDE = [b"2.50", b"0.57", b"2.99", b"0.51", b"1.20"]
EXPORT_LABEL = "FIELDSTICK"
SETTLE = 15  # seconds a service must stay up: longer than its 10-second restart delay
# The logger's own lines through sudo, as pi with the logger's PATH
# (/usr/bin/kestrel), so sudo finds kestrel's programs.
AS_LOGGER = "runuser -u pi -- env PATH=/usr/libexec/kestrel/sudo:/usr/bin:/bin "
LOGGER_COPY = AS_LOGGER + "sudo rsync -avx %s/ %%s" % records.TAGSHEETS
LOGGER_UNMOUNT = AS_LOGGER + "sudo umount {0} && " + AS_LOGGER + "sudo rm -r {0}"
RANGE_LOW = "/home/pi/Configuration/range_low.txt"
# What Python says of it, as the journal shows the line.
BAD_RANGE_ERROR = "ValueError: could not convert string to float: 'abc\\n'"
OTHER_STICKS = pytest.mark.scenario(10, "exFAT and NTFS sticks")


def today_file(board):
    return records.tagsheet_name(board.clock()[0].decode())


@pytest.fixture(scope="class")
def fresh(settings):
    """A fresh board of the image, nothing installed yet."""
    board, booted = snapshots.fresh_board(settings, settings.path("install"))
    try:
        conftest.record_boot("first boot of a fresh board", booted)
        yield board
    finally:
        board.qemu.power_off()


@pytest.mark.scenario(1, "Install and boot")
class TestInstallAndBoot:
    def test_apt_installs_the_package_from_a_usb_stick(self, fresh, settings, figures):
        """apt install ./kestrel_VERSION_ARCH.deb from a stick mounted by hand"""
        board = fresh
        seconds = snapshots.install_package(board, settings, settings.path("install"))
        figures["install_seconds"] = round(seconds, 1)
        version = subprocess.run(["dpkg-deb", "-f", settings.deb, "Version"], capture_output=True,
                                 text=True, check=True).stdout.strip()
        assert board.sh("dpkg-query -W -f='${Status} ${Version}' kestrel") == (
            "install ok installed " + version)

    def test_service_runs_as_pi_after_install(self, fresh):
        """after apt install the service runs as pi and stays up"""
        board = fresh
        state = board.wait_up_for(SETTLE)
        assert (state["SubState"], state["ProcessUser"], state["NRestarts"]) == (
            "running", "pi", "0"), (state, board.journal())
        # Its first header comes once the interpreter has loaded it: slower on a busy host.
        machine.wait_until(board.tagsheets, 120, "the first run's tagsheet", interval=1)

    def test_service_starts_by_itself_after_a_restart(self, fresh, handed_on):
        """after sudo reboot the service starts by itself as pi and stays up"""
        board, moments = fresh, handed_on
        board.sh("sync")
        moments["before_reboot"] = board.clock()[1]
        conftest.record_boot("sudo reboot after the install", board.reboot())
        moments["after_reboot"] = board.clock()[1]
        state = board.wait_up_for(SETTLE)
        assert (state["SubState"], state["ProcessUser"], state["NRestarts"]) == (
            "running", "pi", "0"), (state, board.journal())
        status = board.shell.run("systemctl status kestrel --no-pager", check=False)[1]
        assert "Active: active (running)" in status

    def test_tagsheet_header_carries_last_seen_and_serial(self, fresh, handed_on):
        """the day's tagsheet has a header per start, with the last-seen text and the serial number"""
        board, moments = fresh, handed_on
        cpu_serial = re.search(r"^Serial\s*:\s*(\S+)", board.sh("cat /proc/cpuinfo"), re.M)
        serial = (cpu_serial.group(1) if cpu_serial else "unknown").encode() + b"\n"
        assert board.serial_number() == serial
        content = board.tagsheets()[today_file(board)]
        parsed = records.Parsed(content, serial)
        assert parsed.whole, parsed.describe_damage(content)
        headers = parsed.of("header")
        assert len(headers) >= 2 and not parsed.rows and not parsed.of("stop")
        assert all(header.group("last") == b" " for header in headers)
        assert records.between(headers[-1].group("start"), moments["before_reboot"],
                               moments["after_reboot"])


@pytest.mark.scenario(2, "Radar to buzzer to tagsheet")
class TestRadarToBuzzerAndTagsheet:
    def test_rows_match_the_frames_inside_the_window(self, installed):
        """frames through the UART: a row per distance inside the window, byte for byte"""
        board = installed
        path = today_file(board)
        before = board.tagsheets()[path]
        first = board.clock()
        board.send_frames(WINDOW_FRAMES, rate=5)
        board.wait_rows(records.Parsed(before, board.serial_number()).rows.__len__() + len(INSIDE))
        last = board.clock()
        after = board.tagsheets()[path]
        assert after.startswith(before)
        added = after[len(before):]
        rows = records.Parsed(added, board.serial_number())
        assert rows.whole and len(rows.records) == len(INSIDE), added
        times = [row.group("time") for row in rows.rows]
        assert added == b"".join(records.row(first[0], time_text, distance)
                                 for time_text, distance in zip(times, INSIDE))
        assert all(records.between(time_text, first[1], last[1]) for time_text in times)
        assert times == sorted(times)
        assert board.last_seen() == times[-1]

    def test_buzzer_line_follows_the_window(self, installed):
        """GPIO18 reads 1 while a distance is inside the window and 0 after one outside"""
        board = installed
        levels = []
        for count, level in ((250, 1), (400, 0), (120, 1), (300, 0), (51, 1), (50, 0)):
            board.send_frames([count])
            levels.append(board.wait_buzzer(level) and level)
        assert levels == [1, 0, 1, 0, 1, 0]


@pytest.mark.scenario(5, "`systemctl stop kestrel` while the buzzer sounds")
class TestStopWhileTheBuzzerSounds:
    def test_stop_while_the_buzzer_sounds_leaves_it_silent(self, installed, figures):
        """systemctl stop kestrel while the buzzer sounds: the line's level afterwards"""
        board = installed
        board.send_frames([200])
        board.wait_buzzer(1)
        assert board.last_traced_level() == 1
        board.sh("systemctl stop kestrel")
        level = board.last_traced_level()
        figures["buzzer_after_stop"] = {"last_level_set": level,
                                        "released_line_reads": board.buzzer_level()}
        assert level == 0


@pytest.mark.scenario(6, "getty on tty1 restarting")
class TestGettyRestart:
    def test_getty_restart_on_tty1_keeps_the_run(self, installed, figures):
        """getty on tty1 restarting while kestrel writes its console lines"""
        board = installed
        before = board.service()
        rows = board.rows()
        board.send_frames([150] * 20, rate=10)
        board.sh("systemctl restart getty@tty1")
        board.send_frames([160] * 20, rate=10)
        try:
            board.wait_rows(rows + 40, timeout=30)
        except machine.BoardError:
            pass  # a run that ended lost rows: what arrived is recorded below
        after = board.service()
        survived = (after["MainPID"], after["NRestarts"]) == (before["MainPID"], before["NRestarts"])
        arrived = board.rows() - rows
        figures["getty_restart"] = {"run_survived": survived, "rows_of_40_frames": arrived,
                                    "restarts": int(after["NRestarts"]) - int(before["NRestarts"])}
        assert survived and arrived == 40


@pytest.fixture(scope="class")
def logger_stopped(installed):
    """The logger stopped, as the README's check of the automounter asks, so
    that a stick mounted under /media/pi does not end the run."""
    installed.sh("systemctl stop kestrel")
    yield installed
    installed.start_service()


def rsync_complaints(output):
    """rsync's own error lines in its output."""
    return [line for line in output.splitlines() if line.startswith("rsync")]


@OTHER_STICKS
class TestExfatAndNtfsSticks:
    # Each stick: its label and file system; NTFS through ntfs-3g, installed
    # as on Raspberry Pi OS.
    STICKS = {"ntfs-3g": ("NTFS3GSTICK", "ntfs"), "exfat": ("EXFATSTICK", "exfat")}

    def copy_to_stick(self, board, settings, name):
        """Plugs a stick made on the host, copies the tagsheets to it,
        compares and unmounts it as the logger does, pulls it; returns what
        was seen."""
        label, fstype = self.STICKS[name]
        stick = settings.path(name + "-stick.img")
        sticks.make(stick, label, fstype=fstype)
        where = "/media/pi/" + label
        board.qemu.plug_stick(stick, name)
        try:
            try:
                mount = machine.wait_until(
                    lambda: board.shell.run("findmnt -n -o FSTYPE,OPTIONS " + where,
                                            check=False)[1], 60, "the stick mounted at " + where)
            except machine.BoardError:
                pytest.fail("%s was not mounted; the helper and the mount unit said:\n%s" % (
                    where, board.sh("journalctl -b -q --no-pager -t kestrel-usb-mount "
                                    "-u 'media-pi-*' | tail -n 20")))
            seen = {"mount": mount, "owner": board.sh("stat -c %U " + where)}
            seen["rsync_status"], seen["rsync_output"] = board.shell.run(
                LOGGER_COPY % where, timeout=180, check=False)
            seen["diff_status"], seen["diff"] = board.shell.run(
                "diff -r %s %s" % (records.TAGSHEETS, where), timeout=120, check=False)
            seen["days"] = board.sh("ls %s" % records.TAGSHEETS).split()
            board.sh(LOGGER_UNMOUNT.format(where), timeout=120)
        finally:
            board.qemu.pull_stick(name)
        seen["fsck_status"], seen["fsck"] = sticks.check(stick, stick + ".part", fstype)
        return seen

    @staticmethod
    def record(figures, name, seen):
        figures.setdefault("other_file_systems", {})[name] = {
            "mounted_as": seen["mount"], "rsync_exit_status": seen["rsync_status"],
            "rsync_complaints": rsync_complaints(seen["rsync_output"]),
            "copy_identical": seen["diff_status"] == 0, "host_check_exit": seen["fsck_status"]}

    def assert_whole_and_unharmed(self, seen):
        assert seen["owner"] == "pi", seen["mount"]
        assert seen["diff_status"] == 0, seen["diff"]
        assert seen["fsck_status"] == 0, seen["fsck"]

    def test_ntfs_stick_through_ntfs_3g_takes_the_copy_cleanly(self, logger_stopped, settings,
                                                               figures):
        """an NTFS stick, ntfs-3g installed: mounted through it for pi; the logger's sudo rsync -avx exits 0, the copy is whole"""
        seen = self.copy_to_stick(logger_stopped, settings, "ntfs-3g")
        self.record(figures, "ntfs-3g", seen)
        self.assert_whole_and_unharmed(seen)
        assert seen["mount"].split()[0] == "fuseblk"
        assert seen["rsync_status"] == 0, seen["rsync_output"]

    def test_exfat_stick_takes_the_whole_copy(self, logger_stopped, settings, figures):
        """an exFAT stick: the copy is whole; rsync cannot give the day folders their mode and exits 23, as the README says"""
        seen = self.copy_to_stick(logger_stopped, settings, "exfat")
        self.record(figures, "exfat", seen)
        self.assert_whole_and_unharmed(seen)
        # exFAT keeps no mode bits: the day folders' (sticky, writable by all)
        # cannot be set there. Any other complaint fails the test.
        assert seen["rsync_status"] == 23, seen["rsync_output"]
        days = [day for day in seen["days"] if re.fullmatch(r"\d\d-\d\d-\d{4}", day)]
        *complaints, summary = rsync_complaints(seen["rsync_output"])
        assert days and complaints == [
            'rsync: [generator] failed to set permissions on "/media/pi/EXFATSTICK/%s": '
            "Operation not permitted (1)" % day for day in days]
        assert summary.startswith("rsync error: some files/attrs were not transferred "
                                  "(see previous errors) (code 23) at "), summary


@pytest.mark.scenario(8, "Disk writes")
class TestDiskWrites:
    def test_sectors_written_per_detections_and_silent_hour(self, installed, settings, figures):
        """sectors written to the disk per 1,000 detections and per hour of a silent radar"""
        board = installed
        rows = board.rows()
        board.sh("sync")
        start = board.wait_disk_quiet()
        started = time.monotonic()
        board.send_frames([60 + n % 230 for n in range(1000)], rate=25)
        board.wait_rows(rows + 1000, timeout=600)
        taken = time.monotonic() - started
        # Dirty pages are written back after 30 s, the journal every 5 s.
        quiet_start = board.wait_disk_quiet()
        detections = quiet_start - start
        time.sleep(settings.idle_seconds)
        quiet = board.sectors_written() - quiet_start
        figures["disk_writes"] = {
            "sectors_per_1000_detections": detections,
            "seconds_for_1000_detections": round(taken, 1),
            "silent_seconds_measured": settings.idle_seconds,
            "sectors_per_silent_hour": round(quiet * 3600 / settings.idle_seconds)}
        assert board.rows() == rows + 1000


@OTHER_STICKS
class TestStickThatCannotBeMounted:
    def test_a_failed_mount_shows_nothing_under_media_pi_and_the_run_goes_on(
            self, installed, settings, figures):
        """an NTFS stick inserted while the radar sends, with ntfs-3g removed and no ntfs3 in the kernel: its mount fails; nothing ever shows under /media/pi, the run goes on without a restart, and the journal says why"""
        board = installed
        board.sh("DEBIAN_FRONTEND=noninteractive apt-get remove -y -q ntfs-3g", timeout=300)
        kernel = board.shell.run("grep -w ntfs3 /proc/filesystems || modprobe -n ntfs3",
                                 check=False)
        stick = settings.path("unmountable-stick.img")
        sticks.make(stick, "NTFSSTICK", fstype="ntfs")
        notes = len(board.mount_helper_notes())
        rows = board.rows()
        boot = board.sh("cat /proc/sys/kernel/random/boot_id")
        # What /media/pi holds, five times a second, from before the stick
        # until after the helper gave up on it; started from a subshell, so
        # that the shell reports no job when it ends.
        board.sh("(sh -c 'echo $$ >/run/media-watch.pid; while :; do ls -A /media/pi; echo .; "
                 "sleep 0.2; done' >/run/media-watch 2>&1 &)")
        board.qemu.plug_stick(stick, "unmountable")
        try:
            note = machine.wait_until(lambda: board.mount_helper_notes()[notes:], 120,
                                      "the helper's note on the stick")
            board.send_frames(WINDOW_FRAMES, rate=5)
            board.wait_rows(rows + len(INSIDE))
        finally:
            board.qemu.pull_stick("unmountable")
        board.sh("kill $(cat /run/media-watch.pid)")
        watched = board.sh("cat /run/media-watch")
        entries = sorted(set(watched.split()) - {"."})
        restarted = board.sh("cat /proc/sys/kernel/random/boot_id") != boot
        figures["unmountable_stick"] = {
            "ntfs3_in_kernel": kernel[0] == 0, "helper_note": note,
            "listings_of_media_pi": watched.split().count("."),
            "entries_seen_under_media_pi": entries, "board_restarted": restarted,
            "rows_after": board.rows() - rows}
        assert kernel[0] != 0, "this kernel has ntfs3: the stick would mount"
        assert note[0].startswith("/dev/sd") and "not mounted: " in note[0], note
        assert entries == [] and not restarted, figures["unmountable_stick"]
        assert board.sh("ls -A /run/kestrel-usb") == "", "the private place keeps a mount point"


@pytest.fixture(scope="class")
def exported(installed, settings):
    """A stick plugged in, a radar frame, and what the board did with them:
    it exports and restarts."""
    board = installed
    rows = board.rows()
    board.send_frames(WINDOW_FRAMES, rate=5)  # detections, so the last-seen file holds a time
    board.wait_rows(rows + len(INSIDE))
    stick = settings.path("export-stick.img")
    sticks.make(stick, EXPORT_LABEL)
    evidence = {"stick": stick, "before": board.tagsheets(), "last_seen": board.last_seen(),
                "run_tagsheet": today_file(board), "notes_before": len(board.run_notes()),
                "page_digest": board.report_page_digest()}
    board.qemu.plug_stick(stick, "export")
    where = "/media/pi/" + EXPORT_LABEL
    evidence["mount"] = machine.wait_until(
        lambda: board.shell.run("findmnt -n -o FSTYPE,OPTIONS %s" % where, check=False)[1], 60,
        "the stick mounted at " + where)
    evidence["owner"] = board.sh("stat -c %U " + where)
    evidence["pi_uid"] = board.sh("id -u pi")
    # From here the shell prints what /media/pi holds until the board goes down.
    watch = ("while :; do printf '%s:%s|%s\\n' media \"$(ls -A /media/pi | tr '\\n' ' ')\" "
             "\"$(findmnt -rn -o TARGET | grep ^/media/pi/ | tr '\\n' ' ')\"; sleep 0.2; done\n")
    offset = len(board.shell.reader.data)
    board.shell.send(watch.encode())
    board.shell.reader.wait_match(re.compile(rb"media:"), 30, offset)
    board.send_frames([400])
    evidence["boot_seconds"] = board.qemu.wait_reset(180)
    conftest.record_boot("restart at the end of an export, stick left in",
                         evidence["boot_seconds"])
    console = board.shell.reader.data[offset:].decode(errors="replace")
    evidence["media"] = re.findall(r"media:([^|\n]*)\|([^\r\n]*)\r?\n", console)
    evidence["after"] = board.tagsheets()
    evidence["last_seen_after"] = board.last_seen()
    evidence["notes"] = board.run_notes()
    return evidence


@pytest.mark.scenario(3, "Export to a USB stick")
class TestExport:
    def test_stick_is_mounted_under_media_pi_for_pi(self, exported):
        """a hot-plugged FAT stick with a label is mounted at /media/pi/LABEL, owned by pi"""
        fstype, options = exported["mount"].split()
        assert fstype == "vfat" and "uid=%s" % exported["pi_uid"] in options.split(",")
        assert exported["owner"] == "pi"

    def test_tagsheets_land_whole_on_the_stick(self, exported):
        """the tagsheets, closed with the stop line, land whole on the stick, and the package's report page next to them"""
        on_stick = sticks.files(exported["stick"])
        page = on_stick.pop(records.PAGE_ON_STICK, b"")
        assert hashlib.sha256(page).hexdigest() == exported["page_digest"]
        assert on_stick == records.exported(exported["before"], exported["run_tagsheet"],
                                            exported["last_seen"])
        assert sticks.check(exported["stick"], exported["stick"] + ".part")[0] == 0

    def test_stick_is_unmounted_and_its_mount_point_removed(self, exported):
        """the stick is unmounted and its mount point removed before the restart"""
        seen = exported["media"]
        assert any(EXPORT_LABEL in listing for listing, _ in seen), seen
        assert seen and seen[-1] == ("", ""), seen[-3:]

    def test_next_boot_appends_a_header_after_the_stop_line(self, exported, installed):
        """the board restarts, and the next start's header follows the stop line with the last detection's time"""
        board = installed
        path = exported["run_tagsheet"]
        after = exported["after"][path]
        closed = exported["before"][path] + b"\nEquipment Stop Time:" + exported["last_seen"]
        assert records.last_seen_is_valid(exported["last_seen"]) and exported["last_seen"] != b" "
        assert after.startswith(closed)
        assert re.fullmatch(re.escape(records.header(b" ", b"TIME", board.serial_number()))
                            .replace(b"TIME", records.TIME), after[len(closed):])
        assert exported["last_seen_after"] == b" "

    def test_copy_to_the_stick_reports_no_error(self, exported):
        """rsync copies to the FAT stick without an error: the note of the exporting run has none"""
        new = exported["notes"][exported["notes_before"]:]
        assert len(new) == 1 and " run ended: " in new[0], new
        assert "COMMAND=/usr/libexec/kestrel/sudo/rsync -avx" in new[0], new[0]
        # rsync's own lines ("rsync: ...", "rsync error: ..."), not sudo's.
        assert not re.search(r"\]: rsync( error)?:", new[0]), new[0]


@pytest.mark.scenario(12, "Diagnostics across a restart")
class TestDiagnosticsAcrossARestart:
    def test_a_bad_range_ends_the_run_with_a_note(self, installed, handed_on, figures):
        """range_low.txt = abc: the run fails, and the note of its end carries the ValueError"""
        board = installed
        good = board.shell.read_file(RANGE_LOW)
        noted = len(board.run_notes())
        board.sh("printf 'abc\\n' >%s && systemctl restart kestrel" % RANGE_LOW)
        try:
            failed = machine.wait_until(
                lambda: [note for note in board.run_notes()[noted:] if "exit-code" in note], 90,
                "the note of the failed run")[0]
        finally:
            board.sh("printf %%s %s >%s" % (shlex.quote(good.decode()), RANGE_LOW))
            board.start_service("restart")
        figures["failure_note"] = handed_on["failure_note"] = failed
        assert BAD_RANGE_ERROR in failed, failed

    def test_the_failure_is_read_after_the_restart(self, exported, installed, handed_on):
        """after the restart the export makes (sudo reboot), cat /var/log/kestrel/*.log still shows the failure"""
        board = installed
        failure = handed_on.get("failure_note")
        assert failure, "the failure before the restart was not noted"
        journal = board.shell.run("journalctl -q --no-pager -o cat -u kestrel", check=False)[1]
        assert failure in board.run_notes()
        assert BAD_RANGE_ERROR not in journal, "this boot's journal should not hold it"

    def test_journal_is_kept_in_ram_only(self, exported, installed, figures):
        """the journal is kept in RAM only, as on Raspberry Pi OS: after the restart the boot before is gone"""
        board = installed
        storage = board.sh("systemd-analyze cat-config systemd/journald.conf "
                           "| sed -n 's/^Storage=//p' | tail -n 1")
        boots = board.sh("journalctl --list-boots --no-pager | grep -cE '[0-9a-f]{32}' || true")
        earlier = board.shell.run("journalctl -b -1 --no-pager -n 5", check=False)[1]
        stored = board.sh("find /var/log/journal -type f | wc -l")
        figures["journal"] = {"storage": storage, "files_in_var_log_journal": int(stored),
                              "boots_in_the_journal": int(boots),
                              "journalctl_b_minus_1": earlier.strip()}
        assert (storage, stored, boots) == ("volatile", "0", "1"), earlier


@pytest.mark.scenario(4, "The stick left in after the export")
class TestStickLeftIn:
    def test_stick_left_in_is_not_exported_again(self, exported, installed, figures):
        """the stick left in after the export: the next start neither mounts nor exports it"""
        board = installed
        where = "/media/pi/" + EXPORT_LABEL
        mounted = board.shell.run("findmnt %s" % where, check=False)[0] == 0
        rows_before = board.rows()
        board.send_frames([400])
        try:
            board.qemu.qmp.wait_event("RESET", 40)
            exported_again = True
            conftest.record_boot("restart after exporting again", board.qemu.wait_booted())
        except machine.BoardError:
            exported_again = False
        figures["stick_left_in"] = {"mounted_at_boot": mounted, "exported_again": exported_again,
                                    "rows_before": rows_before}
        board.qemu.pull_stick("export")
        machine.wait_until(lambda: board.shell.run("findmnt %s" % where, check=False)[0] != 0, 60,
                           "the pulled stick unmounted")
        assert not mounted and not exported_again


@pytest.mark.scenario(13, "Links planted by pi where the logger's sudo lines reach")
class TestLinksPlantedByPi:
    """pi plants links where the logger's sudo lines reach, and runs the lines
    itself; root's files and folders stay as they are, and a normal start
    follows once the links are gone."""

    def test_planted_links_reach_nothing_of_roots(self, installed, settings, figures):
        """links planted by pi under its own tree: no sudo line changes, makes or copies anything of root's"""
        board = installed
        tagsheets = records.TAGSHEETS
        shadow = board.sh("stat -c '%a %U' /etc/shadow")
        board.sh("systemctl stop kestrel")
        # A day named like a date, linked to /etc/shadow.
        board.sh(AS_LOGGER + "sh -c 'ln -s /etc/shadow %s/01-01-2031 && "
                 "sudo chmod a+r+w %s/01-01-2031; true'" % (tagsheets, tagsheets))
        # The tagsheet folder itself linked to /etc/systemd/system, then to /etc.
        board.sh("runuser -u pi -- sh -c 'mv {0} {0}.real && ln -s /etc/systemd/system {0}'"
                 .format(tagsheets))
        board.sh(AS_LOGGER + "sh -c 'sudo mkdir {0}/01-01-2031; sudo chmod a+r+w {0}/01-01-2031;"
                 " true'".format(tagsheets))
        board.sh("runuser -u pi -- sh -c 'rm {0} && ln -s /etc {0}'".format(tagsheets))
        stick = settings.path("planted-stick.img")
        sticks.make(stick, "PLANTED")
        board.qemu.plug_stick(stick, "planted")
        where = "/media/pi/PLANTED"
        machine.wait_until(lambda: board.shell.run("findmnt " + where, check=False)[0] == 0, 60,
                           "the stick mounted at " + where)
        copy = board.shell.run(LOGGER_COPY % where, timeout=180, check=False)
        board.sh(LOGGER_UNMOUNT.format(where), timeout=120)
        board.qemu.pull_stick("planted")
        board.sh("runuser -u pi -- sh -c 'rm {0} && rm {0}.real/01-01-2031 && mv {0}.real {0}'"
                 .format(tagsheets))
        on_stick = sticks.files(stick)
        figures["planted_links"] = {"copy_status": copy[0], "files_on_stick": len(on_stick)}
        assert board.sh("stat -c '%a %U' /etc/shadow") == shadow
        assert board.sh("ls -d /etc/systemd/system/01-01-2031 2>/dev/null || true") == ""
        assert not [name for name in on_stick if "shadow" in name or "sudoers" in name], on_stick

    def test_a_normal_start_follows(self, installed):
        """with the links gone, the logger starts and logs again"""
        board = installed
        board.start_service()
        rows = board.rows()
        board.send_frames([250])
        board.wait_rows(rows + 1)
