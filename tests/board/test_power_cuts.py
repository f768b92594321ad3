"""Power cuts of a running logger. Each cut restores a state saved here from
the installed board (the logger running, its rows on disk), streams radar frames, and
kills QEMU at a random moment, some during an export; the disk is then read
from the host as the next boot would find it: a copy of it, with the journal
replayed by e2fsck, its files read with debugfs. The first cut's disk is also
booted for real, to show that both read the same."""
import os
import random
import shutil
import statistics
import subprocess
import time

import pytest

import board as board_module
import conftest
import machine
import radar_sim
import records
import snapshots
import sticks

pytestmark = pytest.mark.scenario(7, "Power cuts")

RATE = 20  # radar frames a second
EXPORT_EVERY = 4  # every fourth cut comes during an export
CONFIGURATION = "/home/pi/Configuration"


def frame_counts(rng):
    """Distance counts as a radar sends them with people passing: mostly
    inside the window of 0.5 to 3.0 m, some beyond it."""
    while True:
        yield rng.randint(60, 290) if rng.random() < 0.8 else rng.choice([20, 400, 1200])


def stream(qemu, counts, seconds):
    """Frames at RATE for seconds; returns how many were inside the window."""
    inside = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        count = next(counts)
        qemu.radar.send(radar_sim.encode_frame(count))
        inside += 50 < count < 300
        time.sleep(1.0 / RATE)
    return inside


def crash_state(disk, folder):
    """The board's configuration folder as the next boot finds it: e2fsck's
    status after replaying the journal on a copy, and {path: bytes}."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    raw = os.path.join(folder, "disk.raw")
    subprocess.run(["qemu-img", "convert", "-O", "raw", disk, raw], check=True)
    status = subprocess.run(["e2fsck", "-fy", raw], capture_output=True).returncode
    subprocess.run(["debugfs", "-R", "rdump %s %s" % (CONFIGURATION, folder), raw],
                   capture_output=True, check=True)
    os.remove(raw)
    files = {}
    top = os.path.join(folder, "Configuration")
    for where, _, names in os.walk(top):
        for name in names:
            with open(os.path.join(where, name), "rb") as content:
                files[CONFIGURATION + os.path.join(where, name)[len(top):]] = content.read()
    return status, files


def judge(files, serial):
    """Rows found, and the damaged files with what is wrong with them."""
    rows, damaged = 0, {}
    for path, content in files.items():
        if records.is_tagsheet(path):
            parsed = records.Parsed(content, serial)
            rows += len(parsed.rows)
            if not parsed.whole:
                damaged[path] = parsed.describe_damage(content)
    last_seen = files.get(records.LAST_SEEN)
    if not records.last_seen_is_valid(last_seen):
        damaged[records.LAST_SEEN] = "last-seen file holds %r" % (last_seen,)
    return rows, damaged


def saved_logger(settings):
    """The installed board with 30 more rows on disk, saved as `logger`: its
    folder, the rows on disk and the serial number."""
    folder = settings.path("power-cuts")
    board = snapshots.restore(settings, folder)
    try:
        rows = board.rows()
        board.send_frames([100 + n for n in range(30)], rate=10)
        board.wait_rows(rows + 30)
        board.sh("sync")
        snapshot = {"name": "logger", "folder": folder, "rows": board.rows(),
                    "serial": board.serial_number()}
        snapshots.save(board, snapshot["name"])
    finally:
        board.qemu.quit()
    return snapshot


def until_the_cut(qemu, counts, rng, record, stick=None):
    """Frames for a random time, or with a stick (an export) frames for a
    while, the stick and a random time after it; records the moment and
    returns how many frames were inside the window."""
    if not stick:
        seconds = rng.uniform(1, 45)
        record["seconds_streaming"] = round(seconds, 1)
        return stream(qemu, counts, seconds)
    inside = stream(qemu, counts, rng.uniform(2, 15))
    sticks.make(stick, "CUTSTICK")
    qemu.plug_stick(stick, "cutstick")
    after = rng.uniform(1, 10)
    deadline = time.monotonic() + after
    while time.monotonic() < deadline:  # frames outside the window, to notice the stick
        qemu.radar.send(radar_sim.encode_frame(400))
        time.sleep(0.1)
    record["seconds_after_stick"] = round(after, 1)
    return inside


def cut(settings, number, rng, snapshot):
    """One cut; returns its record."""
    export = number % EXPORT_EVERY == EXPORT_EVERY - 1
    folder = snapshot["folder"]
    disk = os.path.join(folder, snapshots.SAVED)
    qemu = machine.Machine(settings.image, folder, disk)
    counts = frame_counts(rng)
    started = time.monotonic()
    qemu.start(loadvm=snapshot["name"], shell=False)
    restored = time.monotonic() - started
    record = {"cut": number + 1, "during": "export" if export else "streaming",
              "restore_seconds": round(restored, 1)}
    stick = os.path.join(folder, "cut-stick.img")
    inside = until_the_cut(qemu, counts, rng, record, stick if export else None)
    qemu.kill()
    status, files = crash_state(disk, os.path.join(folder, "crash"))
    rows, damaged = judge(files, snapshot["serial"])
    record.update(e2fsck=status, rows_sent=snapshot["rows"] + inside, rows_found=rows,
                  rows_lost=snapshot["rows"] + inside - rows, damaged=damaged,
                  last_seen=(files.get(records.LAST_SEEN) or b"").decode(errors="replace"),
                  files=files)
    if export:
        record["stick_fsck"] = sticks.check(stick, stick + ".part")[0]
    return record


def boot_after_cut(settings, folder, host_files):
    """Boots the disk a cut left in folder, as the power coming back does,
    and waits until the new run has written its header after those the host
    read: (board, seconds to boot)."""
    qemu = machine.Machine(settings.image, folder, os.path.join(folder, snapshots.SAVED))
    qemu.start()
    try:
        seconds = qemu.wait_booted()
        board = board_module.Board(qemu)
        starts = sum(content.count(b"Equipment Start Time:") for path, content in
                     host_files.items() if records.is_tagsheet(path))
        machine.wait_until(lambda: board.starts() > starts, 120, "the new run's header", 1)
    except BaseException:
        qemu.quit()
        raise
    return board, seconds


def boot_crashed_disk(settings, snapshot, host_files):
    """Boots the disk the first cut left and reads the configuration folder
    once the new run has started."""
    board, seconds = boot_after_cut(settings, snapshot["folder"], host_files)
    conftest.record_boot("boot after a power cut", seconds)
    try:
        return board.tagsheets(), board.last_seen()
    finally:
        board.qemu.quit()


@pytest.fixture(scope="module")
def cuts(settings, figures, installed_facts):
    snapshot = saved_logger(settings)
    seed = settings.seed
    rng = random.Random(seed)
    done = []
    booted = None
    for number in range(settings.cuts):
        done.append(cut(settings, number, rng, snapshot))
        if number == 0:
            booted = boot_crashed_disk(settings, snapshot, done[0]["files"])
    lost = [record["rows_lost"] for record in done]
    figures["power_cuts"] = {
        "seed": seed, "cuts": len(done),
        "during_export": sum(record["during"] == "export" for record in done),
        "rows_before_each_cut_on_disk": snapshot["rows"],
        "cuts_with_damaged_files": sum(bool(record["damaged"]) for record in done),
        "damaged_files": sum(len(record["damaged"]) for record in done),
        "rows_lost_median": statistics.median(lost), "rows_lost_worst": max(lost),
        "restore_seconds_median": statistics.median(r["restore_seconds"] for r in done),
        "each": [{key: value for key, value in record.items() if key != "files"}
                 for record in done]}
    return done, booted, snapshot


def test_every_cut_leaves_a_readable_file_system(cuts, settings):
    """every cut: the file system recovers and keeps the rows that were on disk before it"""
    done, _, snapshot = cuts
    assert len(done) == settings.cuts
    for record in done:
        assert record["e2fsck"] < 4, record
        assert record["rows_found"] >= snapshot["rows"], record


def test_boot_after_a_cut_finds_what_the_host_read(cuts):
    """booting the first cut's disk finds the files the host read, and a new header with the last-seen time"""
    done, (tagsheets, last_seen), _ = cuts
    host = done[0]["files"]
    assert last_seen == host[records.LAST_SEEN]
    for path, content in host.items():
        if not records.is_tagsheet(path):
            continue
        assert tagsheets[path].startswith(content), path
    grown = [path for path in tagsheets if tagsheets[path] != host.get(path)]
    assert len(grown) == 1
    added = tagsheets[grown[0]][len(host.get(grown[0], b"")):]
    assert added.startswith(b"Equipment Stop Time:" + host[records.LAST_SEEN] + b"\n\n\n")


def test_power_cuts_leave_only_whole_records(cuts):
    """after every cut: only whole records, no NUL bytes, a valid last-seen file"""
    done, _, _ = cuts
    assert [record["damaged"] for record in done if record["damaged"]] == []
