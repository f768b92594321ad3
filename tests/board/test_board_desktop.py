"""The installed board as the Desktop image sets one up: udisks2 runs, and the
desktop's user (the image's first user) is not pi and is not logged in. A
stick inserted is mounted under /media/pi all the same, hidden from the
desktop, and exported to; a stick that cannot be mounted is noted in
/var/log/kestrel, and the note is still there after the export's restart.

The guest has no network: udisks2, with what the board lacks of what it needs,
is fetched on the host through the project's armhf indexes, apt resolving
against the board's own dpkg status, and arrives on a stick. The board is
the installed one, restored."""
import glob
import hashlib
import os
import re
import shutil
import subprocess

import pytest

import arm_archive
import conftest
import image
import machine
import records
import snapshots
import sticks

DESKTOP_USER = image.FIRST_USER
MOUNT_NOTES = "/var/log/kestrel/mounts.0.log /var/log/kestrel/mounts.log"
DESKTOP = pytest.mark.scenario(14, "Desktop board: udisks2 runs, the desktop's user is not pi")
NOTE_START = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d /dev/sd[a-z]+1: not mounted: ")


def fetch_udisks2(board, settings):
    """udisks2 and what the board lacks of what it needs (recommends left
    out), as packages of the board's architecture: apt resolves against the
    board's dpkg status with the project's indexes for it and only downloads."""
    archive = arm_archive.Archive(settings.arch,
                                  os.path.join(image.REPO, "build", settings.arch, "apt"))
    archive.update()
    status = settings.path("desktop-dpkg-status")
    with open(status, "wb") as out:
        out.write(board.shell.read_file("/var/lib/dpkg/status", timeout=120))
    folder = settings.path("udisks2-debs")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "partial"))
    result = subprocess.run(
        ["apt-get", "install", "-q", "-y", "--download-only", "--no-install-recommends",
         "-o", "Debug::NoLocking=1", "-o", "Dir::State::status=" + status,
         "-o", "Dir::Cache::archives=" + folder,
         "-o", "Dir::Cache::pkgcache=", "-o", "Dir::Cache::srcpkgcache=", "udisks2"],
        env=archive.env(), capture_output=True, text=True, timeout=600)
    debs = sorted(glob.glob(os.path.join(folder, "*.deb")))
    if result.returncode != 0 or not debs:
        pytest.fail("udisks2 could not be fetched for the board:\n%s%s"
                    % (result.stdout[-3000:], result.stderr))
    return debs


def wait_mounted(board, where):
    """The source of the stick's mount at where, once there is one."""
    try:
        return machine.wait_until(
            lambda: board.shell.run("findmnt -n -o SOURCE " + where, check=False)[1].strip(),
            60, "the stick mounted at " + where)
    except machine.BoardError:
        pytest.fail("%s was not mounted; the helper and udisks2 said:\n%s" % (
            where, board.sh("journalctl -b -q --no-pager -t kestrel-usb-mount -u udisks2 "
                            "| tail -n 20")))


def install_udisks2(board, settings, figures):
    """udisks2 installed from a stick, with the logger stopped meanwhile (the
    stick is mounted under /media/pi), then started."""
    debs = fetch_udisks2(board, settings)
    stick = settings.path("udisks2-stick.img")
    sticks.make(stick, "UDISKS2", debs)
    where = "/media/pi/UDISKS2"
    board.sh("systemctl stop kestrel")
    board.qemu.plug_stick(stick, "debs")
    try:
        wait_mounted(board, where)
        board.sh("DEBIAN_FRONTEND=noninteractive apt-get install -y -q "
                 "--no-install-recommends %s/*.deb" % where, timeout=900)
    finally:
        board.shell.run("umount %s; rmdir %s" % (where, where), check=False)
        board.qemu.pull_stick("debs")
    board.sh("udevadm control --reload && systemctl start udisks2")
    board.start_service()
    figures.setdefault("desktop", {}).update(
        packages_from_the_stick=[os.path.basename(deb) for deb in debs],
        udisks2=board.sh("dpkg-query -W -f='${Version}' udisks2"))


@pytest.fixture(scope="module")
def desktop(settings, figures, installed_facts):
    """The installed board with udisks2 running."""
    board = snapshots.restore(settings, settings.path("desktop"))
    try:
        install_udisks2(board, settings, figures)
        yield board
    finally:
        board.qemu.quit()


@pytest.fixture(scope="class")
def logger_stopped(desktop):
    """The logger stopped, so that a stick mounted under /media/pi stays."""
    desktop.sh("systemctl stop kestrel")
    yield desktop
    desktop.start_service()


def mount_notes(board):
    """The notes of failed mounts, oldest first, as the first user reads them."""
    text = board.sh("runuser -u %s -- sh -c 'cat %s 2>/dev/null || true'"
                    % (DESKTOP_USER, MOUNT_NOTES))
    return [note for note in re.split(r"\n(?=\S)", text) if note.strip()]


def udisks_view(board, device):
    """What udisks2 tells the desktop's user of a device: its hints and mount points."""
    text = board.sh("runuser -u %s -- udisksctl info -b %s" % (DESKTOP_USER, device))
    fields = dict(line.strip().split(":", 1) for line in text.splitlines()
                  if re.match(r"\s+(Hint\w+|MountPoints):", line))
    return {name: value.strip() for name, value in fields.items()}


DESKTOP
class TestDesktopBoard:
    def test_udisks2_runs_and_no_one_is_logged_in_to_the_desktop(self, desktop, figures):
        """udisks2 runs; the desktop's user is not pi, and neither it nor pi is logged in"""
        users = desktop.sh("loginctl list-users --no-legend").split()
        state = desktop.sh("systemctl is-active udisks2 || true")
        figures.setdefault("desktop", {}).update(udisks2_state=state, logged_in=users)
        assert state == "active"
        assert DESKTOP_USER != "pi" and not {DESKTOP_USER, "pi"} & set(users), users


DESKTOP
class TestDesktopStickMounts:
    def test_stick_is_mounted_under_media_pi_and_hidden_from_the_desktop(
            self, logger_stopped, settings, figures):
        """a stick inserted is mounted at /media/pi/LABEL for pi, and udisks2 tells the desktop to neither show nor mount it"""
        board = logger_stopped
        stick = settings.path("desktop-check-stick.img")
        sticks.make(stick, "DESKCHECK")
        where = "/media/pi/DESKCHECK"
        board.qemu.plug_stick(stick, "check")
        try:
            device = wait_mounted(board, where)
            seen = {"device": device, "owner": board.sh("stat -c %U " + where),
                    "under_media": board.sh("ls -A /media").split(),
                    "udev": board.sh("udevadm info -q property -n %s | grep ^UDISKS_ || true"
                                     % device).split(),
                    "udisks2": udisks_view(board, device)}
        finally:
            board.qemu.pull_stick("check")
        figures.setdefault("desktop", {})["stick_inserted"] = seen
        assert seen["owner"] == "pi" and seen["under_media"] == ["pi"], seen
        assert (seen["udisks2"].get("HintIgnore"), seen["udisks2"].get("HintAuto")) == (
            "true", "false"), seen

    def test_a_failed_mount_is_noted_in_var_log_kestrel(self, logger_stopped, settings, figures):
        """an NTFS stick that cannot be mounted (no ntfs-3g, no ntfs3): nothing under /media/pi, and /var/log/kestrel/mounts.log notes it with the mount's own error"""
        board = logger_stopped
        board.sh("DEBIAN_FRONTEND=noninteractive apt-get remove -y -q ntfs-3g", timeout=300)
        if board.shell.run("grep -w ntfs3 /proc/filesystems || modprobe -n ntfs3",
                           check=False)[0] == 0:
            pytest.fail("this kernel has ntfs3: the stick would mount")
        stick = settings.path("desktop-ntfs-stick.img")
        sticks.make(stick, "DESKNTFS", fstype="ntfs")
        known = len(mount_notes(board))
        board.qemu.plug_stick(stick, "ntfs")
        try:
            note = machine.wait_until(lambda: mount_notes(board)[known:], 120,
                                      "the note of the failed mount")[0]
            media = board.sh("ls -A /media/pi")
        finally:
            board.qemu.pull_stick("ntfs")
        figures.setdefault("desktop", {})["failed_mount_note"] = note
        assert NOTE_START.match(note), note
        assert "unknown filesystem type" in note, note
        assert media == ""


DESKTOP
class TestDesktopExport:
    def test_stick_is_exported_and_the_mount_note_outlives_the_restart(
            self, desktop, settings, figures):
        """a stick inserted while the logger runs is exported to, the board restarts, and the failed mount's note is still in /var/log/kestrel"""
        board = desktop
        stick = settings.path("desktop-export-stick.img")
        sticks.make(stick, "DESKEXPORT")
        before, last_seen = board.tagsheets(), board.last_seen()
        page_digest = board.report_page_digest()
        run_tagsheet = records.tagsheet_name(board.clock()[0].decode())
        board.qemu.plug_stick(stick, "export")
        wait_mounted(board, "/media/pi/DESKEXPORT")
        board.send_frames([400])
        conftest.record_boot("restart at the end of an export, udisks2 running",
                             board.qemu.wait_reset(180))
        notes = mount_notes(board)
        board.qemu.pull_stick("export")
        noted = figures.get("desktop", {}).get("failed_mount_note")
        on_stick = sticks.files(stick)
        page = on_stick.pop(records.PAGE_ON_STICK, b"")
        assert hashlib.sha256(page).hexdigest() == page_digest
        assert on_stick == records.exported(before, run_tagsheet, last_seen)
        assert noted and noted in notes, notes
