"""The package's udev rule, run over the events a board sees: USB storage is
left to kestrel's helper and hidden from a desktop automounter (udisks2) on
every event, and nothing else is touched."""
from pathlib import Path

import pytest

import udev_rules

RULES = (Path(__file__).resolve().parents[2] / "debian" / "kestrel.udev").read_text()
HELPER = "/usr/libexec/kestrel/kestrel-usb-mount"
HINTS = {"UDISKS_IGNORE": "1", "UDISKS_AUTO": "0"}
# A stick's partition with a file system and the stick itself, as udev's
# persistent-storage rules describe them.
PARTITION = {"SUBSYSTEM": "block", "KERNEL": "sdb1", "DEVTYPE": "partition", "ID_BUS": "usb",
             "ID_FS_USAGE": "filesystem", "ID_FS_TYPE": "vfat", "ID_FS_LABEL": "STICK"}
DISK = {"SUBSYSTEM": "block", "KERNEL": "sdb", "DEVTYPE": "disk", "ID_BUS": "usb"}


def event(device, action):
    return udev_rules.run(RULES, dict(device, ACTION=action))


def hints(env):
    return {name: env[name] for name in HINTS if name in env}


class TestUsbStorage:
    @pytest.mark.parametrize("device", [PARTITION, DISK], ids=["partition", "disk"])
    @pytest.mark.parametrize("action", ["add", "change"])
    def test_udisks2_is_told_to_leave_it_alone_on_every_event(self, device, action):
        env, _ = event(device, action)
        assert hints(env) == HINTS

    @pytest.mark.parametrize("device, action, programs", [
        (PARTITION, "add", [HELPER + " add"]),
        (PARTITION, "change", []),
        (DISK, "add", []),
        (PARTITION, "remove", [HELPER + " remove"]),
    ], ids=["added", "changed", "no-file-system", "removed"])
    def test_and_left_to_the_helper(self, device, action, programs):
        assert event(device, action)[1] == programs


class TestOtherDevices:
    @pytest.mark.parametrize("device", [
        {"SUBSYSTEM": "block", "KERNEL": "mmcblk0p1", "ID_FS_USAGE": "filesystem"},
        {"SUBSYSTEM": "block", "KERNEL": "nvme0n1p1", "ID_BUS": "nvme",
         "ID_FS_USAGE": "filesystem"},
        {"SUBSYSTEM": "tty", "KERNEL": "ttyUSB0", "ID_BUS": "usb"},
    ], ids=["sd-card", "nvme", "usb-serial"])
    def test_are_neither_hidden_nor_mounted(self, device):
        env, programs = event(device, "add")
        assert (hints(env), programs) == ({}, [])
