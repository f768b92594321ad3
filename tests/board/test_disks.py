"""The disks the board tests plug in or boot from, made on the host: sticks of
each file system with their labels, a stick with two partitions, and the USB
disk a board's system is moved to. They need no board."""
import json
import subprocess

import pytest

import sticks
import usb_disk


def probe(path, start_sector):
    """blkid's view of the file system at start_sector of an image."""
    text = subprocess.run(["blkid", "-p", "-o", "export", "-O", str(start_sector * 512), path],
                          capture_output=True, text=True, check=True).stdout
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def partitions(path):
    return json.loads(subprocess.run(["sfdisk", "-J", path], capture_output=True, text=True,
                                     check=True).stdout)["partitiontable"]


@pytest.mark.parametrize("fstype", ["vfat", "exfat", "ntfs"])
def test_a_stick_of_each_file_system_carries_its_label_and_checks_clean(tmp_path, fstype):
    image = str(tmp_path / "stick.img")
    sticks.make(image, "LABEL" + fstype.upper(), fstype=fstype)
    found = probe(image, sticks.START_SECTOR)
    assert (found["TYPE"], found["LABEL"]) == (fstype, "LABEL" + fstype.upper())
    assert [part["start"] for part in partitions(image)["partitions"]] == [sticks.START_SECTOR]
    assert sticks.check(image, str(tmp_path / "part"), fstype)[0] == 0


def test_a_stick_with_two_partitions_has_a_file_system_in_each(tmp_path):
    image = str(tmp_path / "two.img")
    starts = sticks.make_partitions(image, [("FIRST", "vfat"), ("SECOND", "vfat")])
    table = partitions(image)["partitions"]
    assert [part["start"] for part in table] == starts
    assert table[0]["start"] + table[0]["size"] <= table[1]["start"]
    assert [probe(image, start)["LABEL"] for start in starts] == ["FIRST", "SECOND"]


def test_the_usb_disk_holds_the_cards_root_and_an_fstab_by_partuuid(tmp_path):
    root = tmp_path / "root"
    (root / "etc").mkdir(parents=True)
    (root / "etc" / "fstab").write_text("/dev/vda  /  ext4  defaults,noatime  0  1\n")
    (root / "etc" / "hostname").write_text("raspberrypi\n")
    raw, card, disk = (str(tmp_path / name) for name in ("root.img", "card.qcow2", "usb.raw"))
    subprocess.run(["mkfs.ext4", "-q", "-L", "rootfs", "-d", str(root), raw, "16M"], check=True)
    subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw", "-b", raw, card],
                   check=True)
    usb_disk.make(card, disk)
    table = partitions(disk)
    assert table["id"] == "0x" + usb_disk.DISK_ID
    assert [part["start"] for part in table["partitions"]] == [usb_disk.BOOT_START,
                                                               usb_disk.ROOT_START]
    assert probe(disk, usb_disk.BOOT_START)["LABEL"] == "bootfs"
    assert probe(disk, usb_disk.ROOT_START)["LABEL"] == "rootfs"
    assert usb_disk.fstab(disk) == usb_disk.FSTAB
    hostname = subprocess.run(["debugfs", "-R", "cat /etc/hostname", "%s?offset=%d" % (
        disk, usb_disk.ROOT_START * 512)], capture_output=True, text=True, check=True).stdout
    assert hostname == "raspberrypi\n"


def test_a_small_stick_has_a_fat_it_can_hold_and_reads_empty(tmp_path):
    image = str(tmp_path / "small.img")
    sticks.make(image, "SMALL", size_mb=4)
    found = probe(image, sticks.START_SECTOR)
    assert (found["TYPE"], found["LABEL"]) == ("vfat", "SMALL")
    assert found["VERSION"] in ("FAT12", "FAT16"), found
    assert sticks.files(image) == {}
    assert sticks.check(image, str(tmp_path / "part"))[0] == 0
