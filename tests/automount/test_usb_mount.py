"""The USB automounter's helper: mount point names, mount options, mounting
under /media/pi where a desktop automounter runs too, leaving alone what the
system uses or what was there at boot, and cleaning up after a stick is
pulled.

The helper runs in a bubblewrap sandbox with its own /media, /run and
/var/log, and with fakes of systemd-run, systemd-mount, mount, systemctl,
findmnt, lsblk, swapon, logger, journalctl and id first on PATH.
"""
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from sandbox.bwrap import Bwrap
from sandbox.recording import calls as recorded_calls

REPO = Path(__file__).resolve().parents[2]
HELPER = REPO / "system" / "kestrel-usb-mount"
# The helper's place in the sandbox: the clone itself may lie below /tmp,
# which the sandbox hides.
HELPER_INSIDE = "/run/helper/kestrel-usb-mount"
NOTE = REPO / "system" / "kestrel-note"
NOTE_INSIDE = "/run/helper/kestrel-note"
FAKE = Path(__file__).resolve().parent / "fake_command"
FAKED = ["systemd-run", "systemd-mount", "mount", "systemctl", "findmnt", "lsblk", "swapon",
         "logger", "journalctl", "id"]
QUERIES = ("id", "lsblk", "swapon", "findmnt", "logger", "journalctl")
# A stick with one partition, inserted once the system is up.
STICK = "/dev/sdb 8:16 disk -\n/dev/sdb1 8:17 part /dev/sdb\n"
UP = "kestrel-usb-ready.service"
TIMEOUT = 10
# A file of root's outside /var/log/kestrel, where planted links point.
TARGET = "/run/log/target"


def kept_notes(folder):
    """{name: text} of what /var/log/kestrel holds; a link as "-> TARGET"."""
    if not folder.is_dir() or folder.is_symlink():
        return {}
    return {entry.name: "-> " + os.readlink(entry) if entry.is_symlink() else
            entry.read_text() if entry.is_file() else "<not a file>"
            for entry in folder.iterdir()}


def run_helper(action, setup="", *args, program=HELPER_INSIDE, **env):
    """Runs the helper (or program beside it); returns (exit status, faked
    calls but the queries, entries of /media/pi). Also keeps the notes it left
    in the journal and in /var/log/kestrel, what /media/pi held while
    systemd-mount ran and the entries left in the private place for mounting."""
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        (folder / "bin").mkdir()
        (folder / "var-log").mkdir(mode=0o755)
        for name in FAKED:
            shutil.copy(FAKE, folder / "bin" / name)  # a copy: the clone may be hidden
        box = Bwrap().tmpfs("/media", "/run", "/tmp").ro_bind(folder / "bin", "/run/fakes")
        box.ro_bind(HELPER, HELPER_INSIDE).ro_bind(NOTE, NOTE_INSIDE)
        box.bind(folder / "var-log", "/var/log").bind(folder, "/run/log")
        box.setenv(PATH="/run/fakes:/usr/bin:/bin", FAKE_LOG="/run/log/calls")
        box.setenv(**{"DEVNAME": "/dev/sdb1", "FAKE_BLOCK": STICK, "FAKE_ACTIVE": UP, **env})
        script = ('%s; "$0" "$@"; status=$?; mkdir -p /media/pi; ls -A /media/pi; echo //; '
                  'ls -A /run/kestrel-usb 2>/dev/null; exit $status')
        result = subprocess.run(box.command(["sh", "-c", script % (setup or ":"), program,
                                             action, *args]),
                                stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=TIMEOUT)
        calls = recorded_calls(folder / "calls")
        media = folder / "calls.media"
        run_helper.media_while_mounting = json.loads(media.read_text()) if media.exists() else None
        run_helper.kept = kept_notes(folder / "var-log" / "kestrel")
        run_helper.var_log = sorted(os.listdir(folder / "var-log"))
        run_helper.run_log = sorted(os.listdir(folder))
        target = folder / Path(TARGET).name
        run_helper.target = target.read_text() if target.is_file() else None
        run_helper.stderr = result.stderr
    faked = [c for c in calls if c[0] not in QUERIES]
    run_helper.journal = [c for c in calls if c[0] == "journalctl"]
    run_helper.notes = [c[-1] for c in calls if c[0] == "logger"]
    media, staged = result.stdout.split("//")
    run_helper.staged = staged.split()
    return result.returncode, faked, media.split()


def not_mounted(why, **env):
    """Asserts that the helper leaves the device alone and tells the journal why."""
    status, calls, _ = run_helper("add", **env)
    assert status == 0
    assert [call for call in calls if call[0] == "systemd-run"] == []
    assert run_helper.notes == ["%s: not mounted: %s" % (env.get("DEVNAME", "/dev/sdb1"), why)]


def mounted(**env):
    """What the helper hands the transient service for an added device:
    [device, mount point, options, type or ""]."""
    status, calls, _ = run_helper("add", **env)
    assert status == 0
    (call,) = [call for call in calls if call[0] == "systemd-run"]
    assert call[1:5] == ["--no-block", "--collect", "--quiet", "--service-type=oneshot"]
    handed = call[call.index("--") + 1:]
    assert handed[:2] == [HELPER_INSIDE, "mount"]
    return handed[2:]


class TestMountPointName:
    @pytest.mark.parametrize("env, name", [
        ({"ID_FS_LABEL": "STICK", "ID_FS_UUID": "1234-ABCD"}, "STICK"),
        ({"ID_FS_LABEL": "a b/c$\u00e9", "ID_FS_UUID": "1234-ABCD"}, "a_b_c___"),
        ({"ID_FS_UUID": "1234-ABCD"}, "1234-ABCD"),
        ({"ID_FS_LABEL": "..", "ID_FS_UUID": "1234-ABCD"}, "1234-ABCD"),
        ({"ID_FS_LABEL": ".", "ID_FS_UUID": ""}, "sdb1"),
        ({}, "sdb1"),
    ])
    def test_label_else_uuid_else_device_name_with_only_safe_characters(self, env, name):
        assert mounted(ID_FS_TYPE="vfat", **env)[:2] == ["/dev/sdb1", "/media/pi/" + name]

    def test_a_name_already_mounted_gets_the_device_name_added(self):
        taken = "8:33 /dev/sdc1 /media/pi/STICK\n8:34 /dev/sdc2 /media/pi/STICK-old\n"
        where = mounted(ID_FS_LABEL="STICK", ID_FS_TYPE="vfat", FAKE_MOUNTS=taken)[1]
        assert where == "/media/pi/STICK-sdb1"

    def test_a_name_only_mounted_elsewhere_is_kept(self):
        where = mounted(ID_FS_LABEL="STICK", FAKE_MOUNTS="8:33 /dev/sdc1 /mnt/STICK\n")[1]
        assert where == "/media/pi/STICK"


class TestMountOptions:
    @pytest.mark.parametrize("fs_type, options", [
        ("vfat", "nosuid,nodev,uid=1001,gid=1002,umask=0022,shortname=mixed,utf8,flush,quiet"),
        ("exfat", "nosuid,nodev,uid=1001,gid=1002,umask=0022"),
        ("ntfs3", "nosuid,nodev,uid=1001,gid=1002,umask=0022"),
        ("ext4", "nosuid,nodev"),
    ])
    def test_pi_owns_files_on_file_systems_without_owners(self, fs_type, options):
        assert mounted(ID_FS_LABEL="STICK", ID_FS_TYPE=fs_type)[2:] == [options, ""]


class TestNtfs:
    def test_the_kernels_read_write_driver_where_ntfs_3g_is_missing(self):
        assert mounted(ID_FS_LABEL="STICK", ID_FS_TYPE="ntfs")[2:] == [
            "nosuid,nodev,uid=1001,gid=1002,umask=0022", "ntfs3"]

    def test_ntfs_3g_where_it_is_installed(self):
        setup = "mkdir /run/log/sbin && ln -s /bin/true /run/log/sbin/mount.ntfs"
        status, calls, _ = run_helper("add", setup, ID_FS_LABEL="STICK", ID_FS_TYPE="ntfs",
                                      PATH="/run/fakes:/usr/bin:/bin:/run/log/sbin")
        (command,) = [call for call in calls if call[0] == "systemd-run"]
        assert status == 0 and command[-1] == ""


class TestDesktopAutomounter:
    def test_a_stick_is_mounted_under_media_pi_while_udisks2_runs(self):
        # The udev rule has told udisks2 to leave the stick alone.
        where = mounted(ID_FS_LABEL="STICK", ID_FS_TYPE="vfat", UDISKS_IGNORE="1",
                        UDISKS_AUTO="0", FAKE_ACTIVE="udisks2.service " + UP)[1]
        assert where == "/media/pi/STICK"

    def test_while_udisks2_runs_a_stick_in_at_boot_is_still_left_alone(self):
        not_mounted("it was there while the system started", ID_FS_LABEL="STICK",
                    UDISKS_IGNORE="1", FAKE_ACTIVE="udisks2.service")


class TestPresentAtBoot:
    def test_the_boots_replay_of_add_mounts_nothing(self):
        status, calls, _ = run_helper("add", ID_FS_LABEL="STICK", SYNTH_UUID="0")
        assert (status, calls) == (0, [])

    def test_a_later_replay_with_a_uuid_mounts_nothing_either(self):
        status, calls, _ = run_helper("add", ID_FS_LABEL="STICK",
                                      SYNTH_UUID="3f1c0c1e-5c5e-4d59-9a2c-2a8f0b6f7d10")
        assert (status, calls) == (0, [])

    def test_nothing_is_mounted_until_the_system_is_up(self):
        not_mounted("it was there while the system started", ID_FS_LABEL="STICK",
                    FAKE_ACTIVE="")


# A board booted from a USB disk: firmware and root on sda, root shown as /dev/root.
USB_BOOT = ("/dev/sda 8:0 disk -\n/dev/sda1 8:1 part /dev/sda\n/dev/sda2 8:2 part /dev/sda\n"
            "/dev/sda3 8:3 part /dev/sda\n")
USB_BOOT_MOUNTS = "8:2 /dev/root /\n8:1 /dev/sda1 /boot/firmware\n0:5 tmpfs /run\n"


class TestDevicesInUse:
    @pytest.mark.parametrize("device, why", [
        ("/dev/sda1", "/dev/sda1 is mounted on /boot/firmware"),
        ("/dev/sda2", "/dev/sda2 is mounted on /"),
        ("/dev/sda3", "/dev/sda2 of the same disk is mounted on /"),
    ])
    def test_no_partition_of_the_disk_the_system_runs_from(self, device, why):
        not_mounted(why, DEVNAME=device, ID_FS_LABEL="bootfs", ID_FS_TYPE="vfat",
                    FAKE_BLOCK=USB_BOOT, FAKE_MOUNTS=USB_BOOT_MOUNTS)

    @pytest.mark.parametrize("mounts, where", [
        ("8:17 /dev/sdb1 /mnt/backup\n", "/mnt/backup"),
        ("8:17 /dev/sdb1 /media/pi/STICK\n", "/media/pi/STICK"),
        ("0:44 /dev/sdb1[/@data] /srv\n", "/srv"),  # btrfs: an anonymous device number
    ])
    def test_not_a_device_mounted_already(self, mounts, where):
        not_mounted("/dev/sdb1 is mounted on " + where, ID_FS_LABEL="STICK", FAKE_MOUNTS=mounts)

    def test_not_a_partition_of_a_disk_whose_other_partition_is_mounted_elsewhere(self):
        two = STICK + "/dev/sdb2 8:18 part /dev/sdb\n"
        not_mounted("/dev/sdb1 of the same disk is mounted on /home", DEVNAME="/dev/sdb2",
                    FAKE_BLOCK=two, FAKE_MOUNTS="8:17 /dev/sdb1 /home\n")

    def test_not_a_partition_of_a_disk_with_swap_on_it(self):
        two = STICK + "/dev/sdb2 8:18 part /dev/sdb\n"
        not_mounted("/dev/sdb2 of the same disk is swap", FAKE_BLOCK=two,
                    FAKE_SWAPS="/dev/sdb2\n")

    def test_not_a_partition_of_a_disk_that_carries_an_encrypted_volume(self):
        stacked = STICK + "/dev/sdb2 8:18 part /dev/sdb\n/dev/mapper/root 254:0 crypt /dev/sdb2\n"
        not_mounted("/dev/mapper/root is taken by crypt", FAKE_BLOCK=stacked,
                    FAKE_MOUNTS="254:0 /dev/mapper/root /\n")

    def test_not_a_device_lsblk_cannot_see(self):
        not_mounted("cannot tell whether it is in use", DEVNAME="/dev/sdz1")

    def test_the_second_partition_of_a_stick_whose_first_is_mounted_for_the_logger(self):
        two = STICK + "/dev/sdb2 8:18 part /dev/sdb\n"
        where = mounted(DEVNAME="/dev/sdb2", ID_FS_LABEL="DATA", FAKE_BLOCK=two,
                        FAKE_MOUNTS="8:17 /dev/sdb1 /media/pi/STICK\n")[1]
        assert where == "/media/pi/DATA"

    def test_a_stick_beside_a_board_booted_from_usb(self):
        where = mounted(ID_FS_LABEL="STICK", FAKE_BLOCK=USB_BOOT + STICK,
                        FAKE_MOUNTS=USB_BOOT_MOUNTS)[1]
        assert where == "/media/pi/STICK"


OPTIONS = "nosuid,nodev,uid=1001,gid=1002,umask=0022"
STAGED = "/run/kestrel-usb/STICK"


def mount_stick(setup="", fs_type="", **env):
    """Runs the transient service's part for /dev/sdb1 on /media/pi/STICK."""
    return run_helper("mount", "mkdir -p /media/pi && " + (setup or ":"), "/dev/sdb1",
                      "/media/pi/STICK", OPTIONS, fs_type, **env)


class TestMountedBeforeItShows:
    def test_the_stick_is_mounted_in_a_private_place_and_moved_under_media_pi(self):
        status, calls, listing = mount_stick(fs_type="ntfs3")
        assert status == 0
        assert calls == [
            ["mount", "-t", "tmpfs", "-o", "mode=0700,size=64k", "kestrel-usb", "/run/kestrel-usb"],
            ["mount", "--make-private", "/run/kestrel-usb"],
            ["systemd-mount", "--collect", "--type=ntfs3", "--options=" + OPTIONS, "/dev/sdb1",
             STAGED],
            ["mount", "--move", STAGED, "/media/pi/STICK"]]
        assert run_helper.media_while_mounting == []
        assert (listing, run_helper.staged) == (["STICK"], [])
        assert run_helper.var_log == []

    def test_a_mount_that_fails_leaves_nothing_under_media_pi(self):
        status, calls, listing = mount_stick(FAKE_FAIL="systemd-mount")
        assert status != 0
        assert (listing, run_helper.staged) == ([], [])
        assert run_helper.notes == [
            "/dev/sdb1: not mounted: systemd-mount: it failed "
            "(journalctl -u run-kestrel\\x2dusb-STICK.mount)"]

    def test_a_name_taken_meanwhile_is_left_as_it_is_and_the_stick_unmounted(self):
        status, calls, listing = mount_stick("mkdir -p /media/pi/STICK && touch /media/pi/STICK/a")
        assert status != 0
        assert calls[-1] == ["systemd-mount", "--umount", STAGED]
        assert (listing, run_helper.staged) == (["STICK"], [])
        assert run_helper.notes == ["/dev/sdb1: not mounted: it could not be moved to "
                                    "/media/pi/STICK"]

    def test_a_refused_move_takes_back_its_mount_point_and_unmounts_the_stick(self):
        status, calls, listing = mount_stick(FAKE_FAIL="mount --move")
        assert status != 0
        assert calls[-1] == ["systemd-mount", "--umount", STAGED]
        assert (listing, run_helper.staged) == ([], [])


NOTES = "/var/log/kestrel"
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d "
UNIT = "run-kestrel\\x2dusb-STICK.mount"
FAILED = "/dev/sdb1: not mounted: systemd-mount: it failed (journalctl -u %s)\n" % UNIT
MOUNT_SAID = ("mount: /run/kestrel-usb/STICK: unknown filesystem type 'ntfs3'.\n"
              "Failed to mount %s.\n" % UNIT)
# The note of that failure: the journal's line, then the mount unit's lines.
NOTED = STAMP + re.escape(FAILED) + r"    mount: .*'ntfs3'\.\n    Failed .*\n"
FULL = 65536  # bytes of mounts.log that make it the older note


def fail_to_mount(setup=":"):
    """A mount that fails, with what the mount unit logged; returns what
    /var/log/kestrel holds then."""
    setup = "echo root >%s && %s" % (TARGET, setup)
    status, _, listing = mount_stick(setup, FAKE_FAIL="systemd-mount", FAKE_JOURNAL=MOUNT_SAID)
    assert status != 0 and listing == []
    return run_helper.kept


class TestFailedMountNoted:
    def test_in_var_log_kestrel_with_the_mount_units_words(self):
        started = int(time.time())
        kept = fail_to_mount()
        assert list(kept) == ["mounts.log"]
        assert re.fullmatch(NOTED, kept["mounts.log"]), kept
        (asked,) = [call for call in run_helper.journal if "--unit=" + UNIT in call]
        (since,) = [int(word[len("--since=@"):]) for word in asked if word.startswith("--since=@")]
        assert started <= since <= time.time()

    def test_a_move_that_fails_is_noted_too(self):
        mount_stick(FAKE_FAIL="mount --move")
        assert re.fullmatch(STAMP + "/dev/sdb1: not mounted: it could not be moved to "
                            "/media/pi/STICK\n", run_helper.kept["mounts.log"])

    def test_notes_are_appended_below_the_bound(self):
        kept = fail_to_mount("mkdir {0} && head -c {1} /dev/zero >{0}/mounts.log".format(
            NOTES, FULL - 1))
        assert kept["mounts.log"].startswith("\0" * (FULL - 1))
        assert re.fullmatch(NOTED, kept["mounts.log"][FULL - 1:])
        assert "mounts.0.log" not in kept

    @pytest.mark.parametrize("older", ["echo older >{0}/mounts.0.log",
                                       "ln -s /run/log {0}/mounts.0.log"],
                             ids=["file", "link-to-a-folder"])
    def test_a_full_note_file_replaces_the_older_one(self, older):
        kept = fail_to_mount(("mkdir {0} && head -c {1} /dev/zero >{0}/mounts.log && " + older)
                             .format(NOTES, FULL))
        assert kept["mounts.0.log"] == "\0" * FULL
        assert re.fullmatch(NOTED, kept["mounts.log"])
        assert "mounts.log" not in run_helper.run_log


class TestNotesGoNowhereAnotherAccountCanRedirect:
    @pytest.mark.parametrize("planted, kept", [
        ("ln -s %s %s/mounts.log" % (TARGET, NOTES), "-> " + TARGET),
        ("ln -s /run/log/new %s/mounts.log" % NOTES, "-> /run/log/new"),
        ("mkfifo %s/mounts.log" % NOTES, "<not a file>"),
    ], ids=["link", "dangling-link", "fifo"])
    def test_nothing_is_written_through_what_is_planted_at_the_notes_place(self, planted, kept):
        found = fail_to_mount("mkdir %s && %s" % (NOTES, planted))
        assert run_helper.target == "root\n" and "new" not in run_helper.run_log
        assert found == {"mounts.log": kept}
        assert "note left out: %s/mounts.log is not a plain file" % NOTES in run_helper.stderr

    @pytest.mark.parametrize("setup, named", [
        ("ln -s /run/log %s" % NOTES, NOTES),
        ("mkdir -m 0757 %s" % NOTES, NOTES),
        ("mkdir -m 0775 %s" % NOTES, NOTES),
        ("mkdir %s && chown 1000 %s" % (NOTES, NOTES), NOTES),
        ("chmod 0777 /var/log", "/var/log"),
    ], ids=["link", "open-to-others", "open-to-its-group", "not-roots", "parent-open"])
    def test_no_note_in_a_folder_another_account_could_change(self, setup, named):
        fail_to_mount(setup)
        assert not (set(run_helper.kept) | set(run_helper.run_log)) & {"mounts.log"}
        assert "note left out: %s is not a folder of root's" % named in run_helper.stderr

    @pytest.mark.parametrize("args", [("",), ("../runs",), ("a/b",), ("Mounts",),
                                      ("mounts", "runs")])
    def test_a_note_name_other_than_lower_case_letters_is_refused(self, args):
        status, _, _ = run_helper(args[0], ":", *args[1:], program=NOTE_INSIDE)
        assert status == 2 and run_helper.var_log == []


class TestRemoval:
    def test_unmounts_and_removes_only_the_pulled_devices_mount_points(self):
        table = ("8:17 /dev/sdb1 /media/pi/STICK\n8:33 /dev/sdc1 /media/pi/OTHER\n"
                 "8:17 /dev/sdb1 /mnt/elsewhere\n8:26 /dev/sdb10 /media/pi/TEN\n")
        setup = "mkdir -p /media/pi/STICK /media/pi/OTHER /media/pi/TEN /mnt"
        status, calls, listing = run_helper("remove", setup, FAKE_MOUNTS=table)
        assert status == 0
        assert [call for call in calls if call[0] == "systemd-mount"] == [
            ["systemd-mount", "--umount", "/media/pi/STICK"]]
        assert sorted(listing) == ["OTHER", "TEN"]

    def test_a_mount_point_with_files_left_in_it_is_kept(self):
        setup = "mkdir -p /media/pi/STICK && touch /media/pi/STICK/file"
        status, _, listing = run_helper("remove", setup,
                                        FAKE_MOUNTS="8:17 /dev/sdb1 /media/pi/STICK\n")
        assert status == 0
        assert listing == ["STICK"]
