#!/usr/bin/python3
"""A year in the field, time-compressed: one board's life in the sandbox.

The real module runs in the end-to-end sandbox (tools/sandbox) with pyserial
on a pseudo-terminal radar, real files and the recording sudo. Its clock is
libfaketime's, moved by rewriting the offset in a timestamp file, so a day
is a few episodes of seconds each: quiet hours, busy hours with objects
walking through the window, and some midnights and summer-time changes in
the middle of a run. A small preloaded shim keeps every wait real. The radar
writer runs here, outside the faked process.

Across the run come exports to sticks (each followed by the restart the
recording sudo only records, then a start as at boot), sticks that are full,
read-only or pulled during the copy, SIGKILLs during streaming, start and
export, and clock jumps back by up to a day (as fake-hwclock after an outage)
and forward by up to a month.

The oracle (oracle.py) checks every detection the radar produced against the
card and the sticks; the figures go to build/field-year.md.

    year.py [--full] [--seed N] [--out FILE]
"""
import argparse
import calendar
import collections
import os
import random
import shutil
import signal
import subprocess
import sys
import termios
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent), str(HERE.parent / "sandbox")]

import oracle  # noqa: E402
import radar_sim  # noqa: E402
from sandbox import REPO_ROOT, Sandbox, SandboxError  # noqa: E402

ZONE = "Europe/London"
FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
SERIAL = b"SN-0042\n"
CONFIG = {"range_low.txt": "1\n", "range_high.txt": "300\n", "Serial.txt": SERIAL}
INSIDE_COUNTS = range(101, 30000)  # 1.01 .. 299.99 m: each detection its own text
BACKLOG = 4096  # bytes the line may hold unread before the writer waits
CHUNK = 100  # frames per write
START_LIMIT = 30.0
EXPORT_LIMIT = 120.0
MIDNIGHT_STREAM = 1.5  # real seconds streamed across a midnight


class Form:
    def __init__(self, name, first_day, days, frames_per_day, export_every, kill_chance):
        self.name, self.first_day, self.days = name, first_day, days
        self.frames_per_day, self.export_every, self.kill_chance = frames_per_day, export_every, kill_chance


SHORT = Form("short: a simulated month", (2027, 3, 14), 30, 4000, 6, 0.08)
# A year holds at least 10 million frames, 300 exports and 500 ends of the
# process: a stick nearly every day, an end in almost every second episode.
FULL = Form("full: a simulated year", (2027, 1, 1), 365, 52000, 1, 0.45)


class FakeClock:
    """The sandbox's time of day: real time plus an offset that libfaketime
    reads from a file at every clock reading."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.set_to(time.time())

    def now(self):
        return time.time() + self.offset

    def set_to(self, fake_epoch):
        self.offset = round(fake_epoch - time.time())
        temporary = self.path.with_suffix(".new")
        temporary.write_text("%+ds\n" % self.offset)
        os.replace(temporary, self.path)


def local_epoch(day, hour, minute, second):
    """Epoch of a local time of day on a date (year, month, day)."""
    return time.mktime(day + (hour, minute, second, 0, 0, -1))


def day_of(form, index):
    first = calendar.timegm(form.first_day + (12, 0, 0))
    return time.gmtime(first + index * 86400)[:3]


def summer_time_change(day):
    """Epoch of 01:00 UTC if the zone changes summer time on this date, else None."""
    one_utc = calendar.timegm(day + (1, 0, 0))
    return one_utc if time.localtime(one_utc - 1).tm_isdst != time.localtime(one_utc + 1).tm_isdst else None


class Detections:
    """Distance counts inside the window, each detection the next one."""

    def __init__(self):
        self.next = 0

    def take(self, number):
        counts = []
        for _ in range(number):
            counts.append(INSIDE_COUNTS[self.next % len(INSIDE_COUNTS)])
            self.next += 1
        return counts


class Radar:
    """Frames of quiet hours (nothing in the window) and of objects walking through."""

    def __init__(self, rng):
        self.rng = rng
        self.detections = Detections()
        self._frames = {}

    def frame(self, count):
        encoded = self._frames.get(count)
        if encoded is None:
            encoded = self._frames[count] = radar_sim.encode_frame(count)
        return encoded

    def background(self):
        """A distance at or outside the window's bounds."""
        return self.rng.choice((self.rng.randrange(0, 101), self.rng.randrange(30000, 65536)))

    def chunk(self, walk_share):
        """CHUNK frames: background, or a walk through the window; the walk's counts."""
        if self.rng.random() >= walk_share:
            return [self.background() for _ in range(CHUNK)], []
        steps = self.rng.randrange(20, CHUNK + 1)
        walk = self.detections.take(steps)
        return [self.background() for _ in range(CHUNK - steps)] + walk, walk


class Findings:
    def __init__(self):
        self.damaged = []
        self.stuck = []
        self.missing = []
        self.duplicates = []
        self.shrunk = []

    def add(self, kind, text):
        getattr(self, kind).append(text)
        print("FINDING %s: %s" % (kind, text), flush=True)


class Card:
    """What the oracle has read of the card's tagsheets, read on from where it left off."""

    def __init__(self, folder, findings):
        self.folder = folder
        self.findings = findings
        self.read_upto = {}  # path -> offset after the last whole line read
        self.file_keys = collections.defaultdict(collections.Counter)
        self.keys = collections.Counter()
        self.doubled = set()  # (path, key) seen twice in one tagsheet

    def read_on(self):
        for path in sorted(self.folder.glob("*/*")):
            self._read_file(path)

    def _read_file(self, path):
        with open(path, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            start = self.read_upto.get(path, 0)
            if size < start:
                self.findings.add("shrunk", "%s: %d bytes after %d" % (path.name, size, start))
                self._forget(path)
                start = 0
            file.seek(start)
            data = file.read()
        whole, line_end, tail = data.rpartition(b"\n")
        whole += line_end  # a last line without its end is read again next time
        for number, line in oracle.damaged_lines(whole + tail, SERIAL):
            self.findings.add("damaged", "%s from byte %d, line %d: %r" % (path.name, start, number, line))
        keys = oracle.row_keys(whole)
        for key, number in keys.items():
            self.file_keys[path][key] += number
            self.keys[key] += number
            if self.file_keys[path][key] > 1:
                self.doubled.add((path, key))
        self.read_upto[path] = start + len(whole)

    def _forget(self, path):
        self.keys.subtract(self.file_keys.pop(path, collections.Counter()))
        self.read_upto.pop(path, None)


def tree_size(folder):
    files = list(folder.glob("*/*"))
    return len(files), sum(path.stat().st_size for path in files)


def open_descriptors(pid, looks=5):
    """The fewest descriptors the process held over a few looks: a flush holds the
    files it syncs open for a moment, a leak stays."""
    counts = []
    for _ in range(looks):
        counts.append(len(os.listdir("/proc/%d/fd" % pid)))
        time.sleep(0.02)
    return min(counts)


def logger_pid(box):
    """The pid of the interpreter that imported the logger, or None."""
    for pid in box.pids():
        try:
            argv = Path("/proc/%d/cmdline" % pid).read_bytes().split(b"\0")
        except OSError:
            continue
        if b"import kestrel" in argv and os.path.basename(argv[0]) != b"bwrap":
            return pid
    return None


def process_figures(box):
    """VmRSS and VmHWM (KiB) and open descriptors of the logger's interpreter."""
    pid = logger_pid(box)
    try:
        status = dict(line.split(":", 1) for line in Path("/proc/%d/status" % pid).read_text().splitlines())
        descriptors = open_descriptors(pid)
    except (OSError, TypeError):
        return None
    return int(status["VmRSS"].split()[0]), int(status["VmHWM"].split()[0]), descriptors


def cpu_seconds(box):
    """Processor time of the logger and of the commands it waited for: the start's work,
    which the machine's other work does not stretch as it stretches the wall clock."""
    pid = logger_pid(box)
    try:
        fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
    except (OSError, TypeError):
        return None
    return sum(int(field) for field in fields[11:15]) / os.sysconf("SC_CLK_TCK")


def comm(pid):
    try:
        return Path("/proc/%d/comm" % pid).read_text().strip()
    except OSError:
        return ""


class Life:
    def __init__(self, form, seed, box, shim):
        self.form, self.seed = form, seed
        self.rng = random.Random(seed)
        self.box = box
        self.radar = Radar(random.Random(seed + 1))  # its own, so that events replay by the seed
        self.findings = Findings()
        self.card = Card(box.tagsheets_dir, self.findings)
        self.texts = oracle.LocalTexts()
        self.clock = FakeClock(box.work / "faketime")
        box.env.update({
            "TZ": ZONE,
            "LD_PRELOAD": "/run/kestrel/py/%s %s" % (shim.name, FAKETIME),
            "FAKETIME_TIMESTAMP_FILE": "/run/kestrel/work/faketime",
            "FAKETIME_NO_CACHE": "1",
            "FAKETIME_DONT_FAKE_MONOTONIC": "1",
        })
        self.batches = []
        self.pending = collections.deque()
        self.written = 0
        self.frames = 0
        self.run = 0
        self.run_batches = []
        self.run_frames = 0
        self.lost = set()  # (batch index, position) of detections lost to an end
        self.starts, self.kills, self.exports, self.days = [], [], [], []
        self.skew = 0.0
        self.day = 0
        self.restarts_after_sticks = 0
        self.jumps = collections.Counter()
        self.checked_batches = 0  # batches held against a good stick already
        self.rows_past_their_day = 0  # on the last good stick: rows of runs that went past midnight

    # -- the logger's runs ----------------------------------------------

    def running(self):
        return self.box.proc is not None and self.box.running()

    def start(self):
        """A start as at boot, on the clock as it stands."""
        for leftover in self.box.media.iterdir():  # /media/pi is a tmpfs on the board
            shutil.rmtree(leftover)
        termios.tcflush(self.box.slave, termios.TCIFLUSH)
        self.run += 1
        self.run_batches = []
        self.run_frames = self.run_handled = self.console_read = 0
        self.written = 0
        self.pending.clear()
        files, size = tree_size(self.box.tagsheets_dir)
        began = time.monotonic()
        try:
            self.box.start(timeout=START_LIMIT)
        except SandboxError as error:
            self.findings.add("stuck", "day %d: the start did not get past its housekeeping: %s"
                              % (self.day + 1, str(error)[:300]))
            self.box.kill()
            return False
        self.starts.append((self.day, time.monotonic() - began - 0.3, cpu_seconds(self.box), files, size))
        return True

    def ensure_running(self):
        if self.running():
            return True
        if self.box.proc is not None:
            self.findings.add("stuck", "day %d: the logger ended by itself: %r"
                              % (self.day + 1, self.box.stderr_bytes()[-300:]))
            self.end_run("ended by itself")
        return self.start()

    def end_run(self, how):
        """After the process is gone: the card as it stands, the detections it lost."""
        ended = time.time()
        self.box.kill()
        self.card.read_on()
        self.check_last_seen()
        lost_written = []
        for index in self.run_batches:
            batch = self.batches[index]
            for position, count in enumerate(batch.counts):
                if oracle.find(batch, count, self.card.keys, self.texts) is None:
                    self.lost.add((index, position))
                    lost_written.append(batch.written)
        span = ended - min(lost_written) if lost_written else 0.0
        if how not in ("export", "the end of the simulation"):
            self.kills.append((how, len(lost_written), span))
        elif lost_written:
            self.findings.add("missing", "day %d: %d detections of a run that ended by an export are "
                              "not on the card" % (self.day + 1, len(lost_written)))
        self.check_doubled()
        self.check_restarts()

    def check_restarts(self):
        """Every restart the logger asked for followed a stick: no loop of restarts."""
        restarts = sum(argv[:1] == [b"reboot"] for argv in self.box.sudo_log())
        if restarts != self.restarts_after_sticks:
            self.findings.add("stuck", "day %d: %d restarts, %d after a stick"
                              % (self.day + 1, restarts, self.restarts_after_sticks))
            self.restarts_after_sticks = restarts

    def check_last_seen(self):
        text = (self.box.config_dir / "current_time.txt").read_bytes()
        if not oracle.LAST_SEEN.fullmatch(text):
            self.findings.add("damaged", "day %d: current_time.txt holds %r" % (self.day + 1, text))

    def check_doubled(self):
        if not self.card.doubled:
            return
        for path, key in sorted(self.card.doubled):
            keys = {key: self.card.file_keys[path][key]}
            if oracle.unexplained_duplicates(keys, self.batches, self.texts):
                self.findings.add("duplicates", "%s holds %r %d times" % (path.name, key, keys[key]))
        self.card.doubled.clear()

    def kill(self, how):
        self.end_run(how)
        if self.rng.random() < 0.5:  # an outage: fake-hwclock brings back an older time
            self.skew -= self.rng.uniform(60, 86400)
            self.jumps["jumps back after an end (up to a day)"] += 1

    # -- the radar -------------------------------------------------------

    def handled_frames(self):
        """Frames whose distance the logger has printed in this run, counted on from last time."""
        console = self.box._stdout
        with console.changed:
            self.run_handled += console.data.count(b"Distance of object:", self.console_read)
            self.console_read = max(len(console.data) - len(b"Distance of object:") + 1, 0)
        return self.run_handled

    def note_handled(self):
        now = self.clock.now()
        handled = self.handled_frames()
        while self.pending and self.pending[0].end_frame <= handled:
            self.pending.popleft().fake_to = now

    def write_chunk(self, walk_share):
        deadline = time.monotonic() + 30
        while True:
            self.note_handled()
            if self.box.waiting_bytes() <= BACKLOG:
                break
            if not self.running() or time.monotonic() > deadline:
                return False
            time.sleep(0.001)
        counts, walk = self.radar.chunk(walk_share)
        data = b"".join(self.radar.frame(count) for count in counts)
        written, fake = time.time(), self.clock.now()
        try:
            self.box.send(data, timeout=10)
        except (SandboxError, OSError):
            return False
        self.written += len(data)
        self.frames += len(counts)
        self.run_frames += len(counts)
        batch = oracle.Batch(written, fake, walk, self.run_frames, self.run)
        self.batches.append(batch)
        self.run_batches.append(len(self.batches) - 1)
        self.pending.append(batch)
        return True

    def drain(self):
        """Until the logger has printed the distance of every frame of this run."""
        deadline = time.monotonic() + 30
        while self.running() and time.monotonic() < deadline:
            self.note_handled()
            if not self.pending:
                return True
            time.sleep(0.01)
        return False

    def stream(self, frames, walk_share, seconds=None, kill=False):
        """Frames in chunks, or for some real seconds at about 600 frames a second; a kill
        at a random chunk when asked."""
        chunks = max(1, frames // CHUNK)
        kill_at = self.rng.randrange(chunks) if kill else None
        ends = time.monotonic() + seconds if seconds else None
        chunk = 0
        while (ends and time.monotonic() < ends) or (not ends and chunk < chunks):
            if not self.write_chunk(walk_share):
                break
            if chunk == kill_at:
                time.sleep(self.rng.uniform(0, 0.02))
                self.kill("SIGKILL while streaming")
                return
            if ends:
                time.sleep(CHUNK / 600)
            chunk += 1
        if not self.drain() and self.running():
            self.findings.add("stuck", "day %d: frames not handled in 30 s" % (self.day + 1))

    # -- exports ---------------------------------------------------------

    def export(self, kind):
        number = len(self.exports) + 1
        name = "STICK%03d" % number
        files, size = tree_size(self.box.tagsheets_dir)
        stick_size = "%dk" % max(16, size // 2048) if kind == "full" else "256m"
        mount_point = self.box.insert_stick(name, stick_size)
        if kind == "read-only":
            self.box.run_inside([b"mount", b"-o", b"remount,bind,ro", mount_point])
        reboots = sum(argv[:1] == [b"reboot"] for argv in self.box.sudo_log())
        began = time.monotonic()
        self.box.send(b"\x00")
        if kind == "pulled":
            self.pull_during_copy(mount_point)
        if kind == "killed":
            time.sleep(self.rng.uniform(0, 0.5))
            self.exports.append((self.day, kind, files, size, None, "killed"))
            self.restarts_after_sticks = sum(argv[:1] == [b"reboot"] for argv in self.box.sudo_log())
            self.kill("SIGKILL during an export")
            return
        try:
            self.box.wait_for_sudo(b"reboot", timeout=EXPORT_LIMIT, count=reboots + 1)
        except SandboxError as error:
            self.findings.add("stuck", "day %d: export %d (%s) reached no restart: %s"
                              % (self.day + 1, number, kind, str(error)[:300]))
            self.end_run("stuck export")
            return
        seconds = time.monotonic() - began
        self.restarts_after_sticks += 1
        if kind == "good":
            outcome = self.check_stick(name, final=self.day == self.form.days - 1)
        else:
            outcome = self.failure_told(name, kind)
        self.exports.append((self.day, kind, files, size, seconds, outcome))
        self.end_run("export")

    def pull_during_copy(self, mount_point):
        deadline = time.monotonic() + 10
        rsync = []
        while not rsync and time.monotonic() < deadline:
            rsync = [pid for pid in self.box.pids() if comm(pid) == "rsync"]
            time.sleep(0.001)
        for pid in rsync:
            os.kill(pid, signal.SIGSTOP)
        try:
            self.box.run_inside([b"umount", b"-l", mount_point])
            self.box.run_inside([b"rmdir", mount_point])
        finally:
            for pid in rsync:
                os.kill(pid, signal.SIGCONT)

    def failure_told(self, name, kind):
        """A stick that cannot take the copy must end in the logger's note of a failed export;
        one pulled after rsync was done may have taken it."""
        told = any(line.startswith(b"kestrel: export to /media/pi/%s failed" % name.encode())
                   for line in self.box.stderr())
        if not told and kind != "pulled":
            self.findings.add("missing", "day %d: the %s stick %s was taken for a good export"
                              % (self.day + 1, kind, name))
        return "failure told" if told else "no failure told"

    def check_stick(self, name, final):
        """The detections since the last good stick on this one, on the final stick all of
        them, but those lost to an end; no row twice. Each export copies every tagsheet,
        so a row shows on every stick after it; the first and the last are held to it."""
        keys = collections.Counter()
        self.rows_past_their_day = 0
        for path, content in self.box.stick_files(name).items():
            for number, line in oracle.damaged_lines(content, SERIAL):
                self.findings.add("damaged", "%s %s line %d: %r" % (name, path, number, line))
            rows = oracle.row_keys(content)
            keys.update(rows)
            tagsheet_day = path.split("/")[0].encode()
            self.rows_past_their_day += sum(number for (day, _, _), number in rows.items() if day != tagsheet_day)
        missing = 0
        first = 0 if final else self.checked_batches
        for index in range(first, len(self.batches)):
            batch = self.batches[index]
            for position, count in enumerate(batch.counts):
                if (index, position) in self.lost or batch.run == self.run:
                    continue  # the current run's are checked on the card at its end
                if oracle.find(batch, count, keys, self.texts) is None:
                    missing += 1
        self.checked_batches = len(self.batches)
        if missing:
            self.findings.add("missing", "%s lacks %d detections" % (name, missing))
        for key, number in oracle.unexplained_duplicates(keys, self.batches, self.texts).items():
            self.findings.add("duplicates", "%s holds %r %d times" % (name, key, number))
        return "checked" if not missing else "%d missing" % missing

    # -- the calendar ----------------------------------------------------

    def at(self, fake_epoch):
        self.clock.set_to(fake_epoch + self.skew)

    def live_day(self, index, export_kind):
        self.day = index
        self.skew = 0.0
        day = day_of(self.form, index)
        share = self.form.frames_per_day
        episodes = [((3, 0, 0), share // 10, 0.01), ((8, 0, 0), share * 4 // 10, 0.2),
                    ((17, 30, 0), share * 4 // 10, 0.2)]
        change = summer_time_change(day)
        if change:
            self.across_summer_time_change(change)
        if self.rng.random() < 0.1:
            self.skew += self.rng.uniform(86400, 30 * 86400)  # a clock gone forward
            self.jumps["jumps forward in a run (up to a month)"] += 1
        export_after = self.rng.randrange(len(episodes)) if export_kind else None
        for number, (clock_time, frames, walk_share) in enumerate(episodes):
            self.episode(local_epoch(day, *clock_time), frames, walk_share)
            if number == export_after:
                if self.ensure_running():
                    self.export(export_kind)
        if index % 3 == 0 or change:
            self.jumps["midnights streamed across"] += 1
            self.episode(local_epoch(day, 23, 59, 59), 0, 0.05, seconds=MIDNIGHT_STREAM)
        figures = process_figures(self.box) if self.running() else None
        self.days.append((index, figures))

    def across_summer_time_change(self, change):
        """Streams across the change, then, after an outage just past it has brought
        back the time before it (as fake-hwclock does), across it again in a new run."""
        for crossing in range(2):
            if crossing:
                if self.running():
                    self.end_run("SIGKILL after a summer-time change")
                self.jumps["jumps back after an end (up to a day)"] += 1
            self.jumps["summer-time changes streamed across"] += 1
            self.episode(change - 1, 0, 0.05, seconds=MIDNIGHT_STREAM)

    def episode(self, fake_epoch, frames, walk_share, seconds=None):
        self.at(fake_epoch)
        if not self.ensure_running():
            return
        if self.rng.random() < self.form.kill_chance / 4:  # an end during the start's writes
            self.box.kill()
            self.end_run("SIGKILL at the start")
            if not self.ensure_running():
                return
        self.stream(frames, walk_share, seconds, kill=self.rng.random() < self.form.kill_chance)

    def export_plan(self):
        """Which day ends with which stick: failing kinds at fixed points, the last day a good one."""
        plan = {}
        for index in range(self.form.export_every - 1, self.form.days - 1, self.form.export_every):
            plan[index] = "good"
        failing = ["full", "pulled", "read-only", "killed"]
        repeats = max(1, self.form.days // 120)
        points = len(failing) * repeats
        for number in range(points):
            plan[(number + 1) * (self.form.days - 2) // (points + 1)] = failing[number % len(failing)]
        plan[self.form.days - 1] = "good"
        return plan

    def live(self):
        plan = self.export_plan()
        began = time.monotonic()
        for index in range(self.form.days):
            self.live_day(index, plan.get(index))
            print("day %d/%d: %d frames, %d exports, %d ends, %.0f s" % (
                index + 1, self.form.days, self.frames, len(self.exports), len(self.kills),
                time.monotonic() - began), flush=True)
        if self.running():
            self.end_run("the end of the simulation")
        return time.monotonic() - began


def build_shim(folder):
    shim = folder / "real_sleep.so"
    subprocess.run(["gcc", "-O2", "-shared", "-fPIC", "-o", str(shim), str(HERE / "real_sleep.c")],
                   check=True)
    return shim


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--full", action="store_true", help="a simulated year (default: a month)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--days", type=int, default=0, help="fewer days than the form's")
    parser.add_argument("--out", default=str(REPO_ROOT / "build" / "field-year.md"))
    args = parser.parse_args(argv)
    os.environ["TZ"] = ZONE
    time.tzset()
    form = FULL if args.full else SHORT
    if args.days:
        form = Form(form.name + ", cut to %d days" % args.days, form.first_day, args.days,
                    form.frames_per_day, form.export_every, form.kill_chance)
    seed = args.seed or random.randrange(1, 1 << 30)
    print("field year, %s, seed %d" % (form.name, seed), flush=True)
    import report  # noqa: E402 (beside this file)
    with Sandbox(config=CONFIG) as box:
        shim = build_shim(box.py)
        life = Life(form, seed, box, shim)
        seconds = life.live()
        command = (["scripts/field-year"] + (["--full"] if args.full else [])
                   + (["--days", str(args.days)] if args.days else []) + ["--seed", str(seed)])
        text = report.write(life, seconds, " ".join(command))
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(text)
    print(text)
    return 0 if report.passed(life) else 1


if __name__ == "__main__":
    sys.exit(main())
