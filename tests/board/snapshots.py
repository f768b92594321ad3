"""Boards restored from saved states instead of booted and set up again.

The state every scenario but the first starts from is `installed`: a fresh
board, the package installed from a stick with apt, the logger running and
the console's shell waiting. It is saved once per package, image and day in
the image's folder (a qcow2 overlay of the image holding the snapshot), and a
scenario restores a copy of it in about two seconds.

A restored board's clock goes on from the moment the state was saved, as a
board's does that was suspended; its clock chip still says the host's time,
which a restart reads. The day is part of the key, so that a restored run and
the next start write to the same day's tagsheet."""
import contextlib
import fcntl
import glob
import hashlib
import json
import os
import shutil
import time

import board as board_module
import machine
import sticks

INSTALLED = "installed"
SAVED = "disk.qcow2"


def install_package(board, settings, folder):
    """apt install ./kestrel_VERSION_ARCH.deb from a stick mounted by hand at
    /mnt, as the README tells; returns apt's seconds."""
    stick = os.path.join(folder, "package-stick.img")
    sticks.make(stick, "KESTRELPKG", [settings.deb])
    board.qemu.plug_stick(stick, "package")
    board.sh("udevadm settle; until [ -e /dev/disk/by-label/KESTRELPKG ]; do sleep 0.2; done; "
             "mount -o ro /dev/disk/by-label/KESTRELPKG /mnt", timeout=60)
    started = time.monotonic()
    board.sh("(cd /mnt && apt install -y ./%s)" % os.path.basename(settings.deb), timeout=900)
    seconds = time.monotonic() - started
    board.sh("umount /mnt")
    board.qemu.pull_stick("package")
    os.remove(stick)
    return seconds


def fresh_board(settings, folder):
    """A board booted from a fresh disk of the image, in folder; the caller
    ends it (quit or power_off)."""
    os.makedirs(folder, exist_ok=True)
    disk = os.path.join(folder, SAVED)
    machine.new_overlay(os.path.join(settings.image, "rootfs.img"), disk)
    qemu = machine.Machine(settings.image, folder, disk)
    qemu.start()
    try:
        booted = qemu.wait_booted()
    except BaseException:
        qemu.quit()
        raise
    return board_module.Board(qemu), booted


def save(board, name):
    """Saves the running board's whole state under name on its disk."""
    board.qemu.qmp.hmp("savevm " + name)


def _key(settings):
    digest = hashlib.sha256()
    with open(settings.deb, "rb") as deb:
        for block in iter(lambda: deb.read(1 << 20), b""):
            digest.update(block)
    return "%s-%s" % (digest.hexdigest()[:16], time.strftime("%Y%m%d", time.gmtime()))


def _folder(settings):
    return os.path.join(settings.image, "installed-" + _key(settings))


@contextlib.contextmanager
def _locked(settings):
    """One maker of the saved state at a time: a second pytest process (the
    technician's board) may want it at the same moment."""
    with open(os.path.join(settings.image, "installed.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def _publish(settings, folder, facts):
    """Keeps the disk in folder, saved with the `installed` state and shut
    down, as the cached state; older ones go."""
    for old in glob.glob(os.path.join(settings.image, "installed-*")):
        shutil.rmtree(old)
    target = _folder(settings)
    os.makedirs(target)
    shutil.copyfile(os.path.join(folder, SAVED), os.path.join(target, SAVED))
    with open(os.path.join(target, "facts.json"), "w") as out:
        json.dump(facts, out)


def installed_facts(settings, record_boot):
    """The cached `installed` state's facts, made first if there is none:
    a fresh board is booted, the package installed, the state saved."""
    facts_file = os.path.join(_folder(settings), "facts.json")
    with _locked(settings):
        if not os.path.exists(facts_file):
            folder = settings.path("installing")
            board, booted = fresh_board(settings, folder)
            try:
                record_boot("first boot of a fresh board, to install the package", booted)
                facts = ready_to_save(board, install_package(board, settings, folder))
                save(board, INSTALLED)
            finally:
                board.qemu.quit()
            _publish(settings, folder, facts)
            shutil.rmtree(folder)
    with open(facts_file) as saved:
        return json.load(saved)


def ready_to_save(board, install_seconds):
    """Waits until the installed logger runs and has written its header;
    returns what the scenarios may want to know of the saved state."""
    board.wait_service_active()
    machine.wait_until(lambda: board.starts() > 0, 120, "the first run's header", interval=1)
    board.sh("sync")
    return {"install_seconds": round(install_seconds, 1),
            "saved_at": board.clock()[1].decode()}


def installed_disk(settings):
    """The cached `installed` state's disk (installed_facts makes it): as the
    base of an overlay, a board booted from it starts with the package
    installed."""
    return os.path.join(_folder(settings), SAVED)


def restore(settings, folder):
    """A board in folder restored from a copy of the cached `installed`
    state, its shell answering and the logger running."""
    os.makedirs(folder, exist_ok=True)
    copy = os.path.join(folder, SAVED)
    shutil.copyfile(installed_disk(settings), copy)
    qemu = machine.Machine(settings.image, folder, copy)
    qemu.start(loadvm=INSTALLED, shell=False)
    board = board_module.Board(qemu)
    try:
        qemu.resume_shell()
        board.wait_service_active()
    except BaseException:
        qemu.quit()
        raise
    return board
