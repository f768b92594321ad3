"""The USB automounter's helper: mount point names, mount options, staying out
of a desktop automounter's way and cleaning up after a stick is pulled.

The helper runs in a bubblewrap sandbox with its own /media, and with fakes
of systemd-mount, systemctl, findmnt and id first on PATH.
"""
import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
HELPER = REPO / "system" / "kestrel-usb-mount"
# The helper's place in the sandbox: the clone itself may lie below /tmp,
# which the sandbox hides.
HELPER_INSIDE = "/run/helper/kestrel-usb-mount"
FAKE = Path(__file__).resolve().parent / "fake_command"
FAKED = ["systemd-mount", "systemctl", "findmnt", "id"]
TIMEOUT = 10


def run_helper(action, setup="", **env):
    """Runs the helper; returns (exit status, faked calls except id, entries of /media/pi)."""
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        (folder / "bin").mkdir()
        for name in FAKED:
            shutil.copy(FAKE, folder / "bin" / name)  # a copy: the clone may be hidden
        argv = ["bwrap", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc",
                "--tmpfs", "/media", "--tmpfs", "/run", "--tmpfs", "/tmp",
                "--ro-bind", str(folder / "bin"), "/run/fakes",
                "--ro-bind", str(HELPER), HELPER_INSIDE,
                "--bind", str(folder), "/run/log", "--unshare-pid", "--die-with-parent",
                "--clearenv", "--setenv", "PATH", "/run/fakes:/usr/bin:/bin",
                "--setenv", "FAKE_LOG", "/run/log/calls"]
        for name, value in {"DEVNAME": "/dev/sdb1", **env}.items():
            argv += ["--setenv", name, value]
        script = '%s; "$0" "$1"; status=$?; mkdir -p /media/pi; ls -A /media/pi; exit $status'
        result = subprocess.run(argv + ["sh", "-c", script % (setup or ":"), HELPER_INSIDE, action],
                                capture_output=True, text=True, timeout=TIMEOUT)
        log = folder / "calls"
        calls = [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []
    return result.returncode, [c for c in calls if c[0] != "id"], result.stdout.split()


def mounted(**env):
    """The systemd-mount command the helper ran for an added device."""
    status, calls, _ = run_helper("add", **env)
    assert status == 0
    mounts = [call for call in calls if call[0] == "systemd-mount"]
    assert len(mounts) == 1, calls
    return mounts[0]


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
        assert mounted(ID_FS_TYPE="vfat", **env)[-2:] == ["/dev/sdb1", "/media/pi/" + name]

    def test_a_name_already_mounted_gets_the_device_name_added(self):
        taken = "/dev/sdc1 /media/pi/STICK\n/dev/sdc2 /media/pi/STICK-old\n"
        where = mounted(ID_FS_LABEL="STICK", ID_FS_TYPE="vfat", FAKE_MOUNTS=taken)[-1]
        assert where == "/media/pi/STICK-sdb1"

    def test_a_name_only_mounted_elsewhere_is_kept(self):
        where = mounted(ID_FS_LABEL="STICK", FAKE_MOUNTS="/dev/sdc1 /mnt/STICK\n")[-1]
        assert where == "/media/pi/STICK"


class TestMountOptions:
    @pytest.mark.parametrize("fs_type, options", [
        ("vfat", "nosuid,nodev,uid=1001,gid=1002,umask=0022,shortname=mixed,utf8,flush"),
        ("exfat", "nosuid,nodev,uid=1001,gid=1002,umask=0022"),
        ("ntfs3", "nosuid,nodev,uid=1001,gid=1002,umask=0022"),
        ("ext4", "nosuid,nodev"),
    ])
    def test_pi_owns_files_on_file_systems_without_owners(self, fs_type, options):
        command = mounted(ID_FS_LABEL="STICK", ID_FS_TYPE=fs_type)
        assert command == ["systemd-mount", "--no-block", "--collect", "--options=" + options,
                           "/dev/sdb1", "/media/pi/STICK"]


class TestDesktopAutomounter:
    def test_nothing_is_mounted_while_udisks2_runs(self):
        status, calls, _ = run_helper("add", ID_FS_LABEL="STICK", FAKE_UDISKS="active")
        assert status == 0
        assert calls == [["systemctl", "--quiet", "is-active", "udisks2.service"]]


class TestRemoval:
    def test_unmounts_and_removes_only_the_pulled_devices_mount_points(self):
        table = ("/dev/sdb1 /media/pi/STICK\n/dev/sdc1 /media/pi/OTHER\n"
                 "/dev/sdb1 /mnt/elsewhere\n/dev/sdb10 /media/pi/TEN\n")
        setup = "mkdir -p /media/pi/STICK /media/pi/OTHER /media/pi/TEN /mnt"
        status, calls, listing = run_helper("remove", setup, FAKE_MOUNTS=table)
        assert status == 0
        assert [call for call in calls if call[0] == "systemd-mount"] == [
            ["systemd-mount", "--umount", "/media/pi/STICK"]]
        assert sorted(listing) == ["OTHER", "TEN"]

    def test_a_mount_point_with_files_left_in_it_is_kept(self):
        setup = "mkdir -p /media/pi/STICK && touch /media/pi/STICK/file"
        status, _, listing = run_helper("remove", setup, FAKE_MOUNTS="/dev/sdb1 /media/pi/STICK\n")
        assert status == 0
        assert listing == ["STICK"]
