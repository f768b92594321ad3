"""The same board once its system has been moved to a USB disk, as a person
does to boot a Raspberry Pi from USB: shut down (the board tests before end
with a shutdown), the card copied to a USB disk, booted from it. Its clock chip
starts in 2000, as good as none, and it has no network. A stick with two
partitions is in the other port when the power comes on.

The card is the installed board's, restored and shut down as a person does."""
import hashlib
import os
import re
import shlex
import time

import pytest

import board as board_module
import conftest
import machine
import records
import snapshots
import sticks
import usb_disk

CLOCK_CHIP_START = "2000-01-01"
STICK_LABELS = ("HANDMOUNT", "SECOND")
EXPORT_LABEL = "USBBOOTED"
SETTLE = 15
NETWORK_OR_SYNC = ("network-online.target", "time-sync.target", "systemd-time-wait-sync.service")


@pytest.fixture(scope="module")
def usb_board(settings, installed_facts):
    """The board booted from the USB disk; with it the moments the card's
    board was last written and this one was switched on (host clock)."""
    card_board = snapshots.restore(settings, settings.path("usb-card"))
    card_board.qemu.power_off()
    card = card_board.qemu.disk
    switched_off = os.path.getmtime(card)
    disk = settings.path("usb-disk.raw")
    usb_disk.make(card, disk)
    folder = settings.path("usb")
    os.makedirs(folder, exist_ok=True)
    stick = settings.path("two-partition-stick.img")
    sticks.make_partitions(stick, [(label, "vfat") for label in STICK_LABELS])
    qemu = machine.Machine(settings.image, folder, disk, usb_root=usb_disk.ROOT_ARGUMENT,
                           clock=CLOCK_CHIP_START)
    switched_on = time.time()
    qemu.start()
    try:
        qemu.plug_stick(stick, "twopart")  # in the port before the kernel looks
        conftest.record_boot("from the USB disk, a stick in the other port", qemu.wait_booted())
        board = board_module.Board(qemu)
        board.wait_service_active()
        yield board, {"switched_off": switched_off, "switched_on": switched_on}
    finally:
        qemu.quit()


def epoch(board, text):
    return int(board.sh("date -u -d %s +%%s" % shlex.quote(text)))


def day_and_time(board, seconds):
    """The tagsheet's date and time texts of a moment of the board's clock."""
    date, time_text = board.sh("date -u -d @%d +'%%d-%%m-%%Y %%H-%%M-%%S'" % seconds).split()
    return date.encode(), time_text.encode()


@pytest.mark.scenario(11, "Time without network or clock battery")
class TestClockWithoutNetwork:
    def test_board_has_no_network(self, usb_board, figures):
        """the board has no network interface"""
        board, _ = usb_board
        interfaces = board.sh("ls /sys/class/net").split()
        figures.setdefault("clock", {})["network_interfaces"] = interfaces
        assert interfaces == ["lo"]

    def test_service_waits_for_the_boards_clock_and_nothing_else(self, usb_board, figures):
        """the service is ordered after time-set.target and waits for no network and no sync"""
        board, _ = usb_board
        text = board.sh("systemctl show kestrel.service -p After -p Wants -p Requires "
                        "-p Requisite -p BindsTo")
        units = {name: value.split() for name, value in
                 (line.split("=", 1) for line in text.splitlines())}
        pulled = set(units["Wants"] + units["Requires"] + units["Requisite"] + units["BindsTo"])
        chain = board.sh("systemd-analyze critical-chain --no-pager kestrel.service")
        states = board.shell.run("systemctl is-active %s" % " ".join(NETWORK_OR_SYNC),
                                 check=False)[1].split()
        synchronised = board.sh("timedatectl show -p NTPSynchronized --value")
        figures.setdefault("clock", {}).update(
            critical_chain=chain.splitlines()[2:], ntp_synchronised=synchronised,
            **{"states of " + ", ".join(NETWORK_OR_SYNC): states})
        assert "time-set.target" in units["After"]
        assert not pulled & set(NETWORK_OR_SYNC)
        assert states == ["inactive"] * len(NETWORK_OR_SYNC)
        assert not any(name in chain for name in ("network", "time-sync", "wait-sync"))
        assert synchronised == "no"

    def test_tagsheet_carries_the_boards_own_clock(self, usb_board, figures):
        """the start and the rows carry the board's clock: the time saved at shutdown, not the clock chip's, and behind the real time by the time it was off"""
        board, moments = usb_board
        clock_chip = int(board.sh("cat /sys/class/rtc/rtc0/since_epoch"))
        saved = epoch(board, board.sh("cat /etc/fake-hwclock.data"))
        started = epoch(board, board.sh("systemctl show -p ExecMainStartTimestamp --value "
                                        "kestrel.service"))
        start_day, start_time = day_and_time(board, started)

        def this_runs_header():
            content = board.shell.read_file(records.tagsheet_name(start_day.decode())) or b""
            headers = records.Parsed(content, board.serial_number()).of("header")
            if headers and (records.seconds_of(headers[-1].group("start"))
                            >= records.seconds_of(start_time)):
                return headers[-1]
        header = machine.wait_until(this_runs_header, 60, "the header of the run of this boot")
        behind = time.time() - float(board.sh("date +%s.%N"))
        first = board.clock()
        rows = board.rows()
        board.send_frames([150, 200], rate=5)
        board.wait_rows(rows + 2)
        last = board.clock()
        added = records.Parsed(board.shell.read_file(records.tagsheet_name(first[0].decode())),
                               board.serial_number()).rows[-2:]
        off = moments["switched_on"] - moments["switched_off"]
        figures.setdefault("clock", {}).update(
            clock_chip_at_boot=time.strftime("%Y-%m-%d", time.gmtime(clock_chip)),
            saved_at_shutdown=time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(saved)),
            logger_started=time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(started)),
            header_start=header.group("start").decode(),
            seconds_off=round(off), seconds_behind_real_time=round(behind, 1))
        assert clock_chip < epoch(board, "2001-01-01")
        assert saved <= started < saved + 600
        assert 0 <= records.seconds_of(header.group("start")) - records.seconds_of(start_time) <= 30
        assert behind >= off - 1
        for row in added:
            assert row.group("date") == first[0] == last[0]
            assert records.between(row.group("time"), first[1], last[1])


def wait_note(board, device, known):
    """The USB helper's first note about device after the known ones."""
    return machine.wait_until(
        lambda: [note for note in board.mount_helper_notes()[known:]
                 if note.startswith(device + ":")],
        30, "the USB helper's note about " + device)[0]


def add_again(board, disk, number):
    """Has the kernel drop partition number of disk and find it again, a real
    add as when a disk is re-read; returns the USB helper's note about it and
    what /media/pi holds then."""
    known = len(board.mount_helper_notes())
    board.sh("partx -d --nr {1} {0} && partx -a --nr {1} {0} && udevadm settle".format(
        disk, number))
    return wait_note(board, "%s%d" % (disk, number), known), media_pi(board)


def media_pi(board):
    return board.sh("ls -A /media/pi; findmnt -rn -o TARGET | grep '^/media/pi/' || true")


@pytest.mark.scenario(9, "Booted from a USB disk: the automounter leaves the system's disk alone")
class TestBootedFromUsb:
    def test_own_disk_is_not_taken_for_a_stick(self, usb_board, figures):
        """booted from a USB disk: nothing of it (nor of a stick left in) is mounted under /media/pi, and the logger runs on"""
        board, _ = usb_board
        board.wait_up_for(SETTLE)
        root = board.sh("findmnt -n -o SOURCE /")
        bus = board.sh("udevadm info -q property -n %s | sed -n 's/^ID_BUS=//p'" % root)
        state = board.service()
        seen = {"root": root, "boot": board.sh("findmnt -n -o SOURCE /boot/firmware"),
                "root_bus": bus, "under_media_pi": media_pi(board),
                "helper_notes_at_boot": board.mount_helper_notes()}
        figures.setdefault("usb_boot", {}).update(seen)
        assert bus == "usb" and re.fullmatch(r"/dev/sd[a-z]2", root), seen
        assert seen["boot"] == root[:-1] + "1", seen
        assert seen["under_media_pi"] == "", seen
        assert (state["SubState"], state["NRestarts"]) == ("running", "0")

    def test_partition_of_its_own_disk_added_again_is_left_alone(self, usb_board, figures):
        """a real add of a partition of the system's disk (the boot partition re-read) is left alone, with a note why"""
        board, _ = usb_board
        root = board.sh("findmnt -n -o SOURCE /")
        disk = board.sh("lsblk -nrpo PKNAME " + root)
        # The kernel removes no partition that is in use, so the root (or a
        # stick mounted anywhere) is never added again while mounted.
        busy = board.shell.run("partx -d --nr 2 " + disk, check=False)
        board.sh("umount /boot/firmware")
        try:
            note, media = add_again(board, disk, 1)
        finally:
            board.sh("udevadm settle; mount /boot/firmware")
        figures.setdefault("usb_boot", {}).update(
            removing_the_mounted_root=busy[1].strip(), boot_partition_added_again=note)
        assert busy[0] != 0 and board.sh("findmnt -n -o SOURCE /") == root, busy
        assert re.fullmatch(r"%s1: not mounted: %s\d of the same disk is mounted on /\S*"
                            % (disk, disk), note), note
        assert media == ""

    def test_partition_of_a_stick_mounted_by_hand_is_left_alone(self, usb_board, figures):
        """a stick's second partition added while its first is mounted by hand at /mnt is left alone, with a note why"""
        board, _ = usb_board
        first = board.sh("readlink -f /dev/disk/by-label/" + STICK_LABELS[0])
        disk = board.sh("lsblk -nrpo PKNAME " + first)
        mounted_at_boot = board.sh("findmnt -rn -o SOURCE | grep '^%s' || true" % disk)
        board.sh("mount %s /mnt" % first)
        try:
            note, media = add_again(board, disk, 2)
        finally:
            board.sh("umount /mnt")
            board.qemu.pull_stick("twopart")
        figures.setdefault("usb_boot", {}).update(stick_in_at_power_on_mounted=mounted_at_boot,
                                                  second_partition_added=note)
        assert mounted_at_boot == ""
        assert note == "%s2: not mounted: %s of the same disk is mounted on /mnt" % (disk, first)
        assert media == ""

    def test_stick_plugged_in_afterwards_is_mounted_and_exported(self, usb_board, settings,
                                                                 figures):
        """a stick plugged in afterwards is mounted at /media/pi/LABEL and exported to, and the board restarts"""
        board, _ = usb_board
        stick = settings.path("usb-boot-stick.img")
        sticks.make(stick, EXPORT_LABEL)
        before, last_seen = board.tagsheets(), board.last_seen()
        run_tagsheet = records.tagsheet_name(board.clock()[0].decode())
        page_digest = board.report_page_digest()
        board.qemu.plug_stick(stick, "export")
        where = "/media/pi/" + EXPORT_LABEL
        source = machine.wait_until(
            lambda: board.shell.run("findmnt -n -o SOURCE " + where, check=False)[1], 60,
            "the stick mounted at " + where)
        board.send_frames([400])
        board.qemu.qmp.wait_event("RESET", 180)
        figures.setdefault("usb_boot", {})["hot_plugged_stick"] = {"mounted_from": source,
                                                                   "exported": True}
        on_stick = sticks.files(stick)
        page = on_stick.pop(records.PAGE_ON_STICK, b"")
        assert hashlib.sha256(page).hexdigest() == page_digest
        assert on_stick == records.exported(before, run_tagsheet, last_seen)
