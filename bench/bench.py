#!/usr/bin/python3
"""Benchmark of the real kestrel module in the sandbox: throughput, and the
processor it takes at the radar's own pace.

Builds two modules: "before" from the commit this branch shares with main, and
"after" from the working tree. Each runs in the end-to-end sandbox while a
writer pushes radar frames into the pseudo-terminal as fast as it takes them
(it never waits for the program: the only brake is the serial line's input
queue being full). Per workload and build it measures:

  rate        bytes consumed per second over the whole stream, and as a multiple
              of the line rate (115200 baud, 8N1: 11,520 bytes/s)
  cpu         user and system CPU time of the program's process per byte
              (/proc/<pid>/stat; the busy poll keeps it near 100 % of a core)
  instr       instructions per byte in the program's own process, user space
              only: callgrind on the sandboxed interpreter, counted between the
              first byte and the last one consumed (perf stat -e instructions
              is not supported on this virtual machine)
  peak RSS    VmHWM of the program's process

Then, per pace and build, the processor time of the program's process
(/proc/<pid>/schedstat, nanoseconds) per wall-clock second while the radar is
silent, and while it sends 20 frames a second inside the window (a row, the
last-seen file and the buzzer per frame).

It writes docs/performance.md (tables) and docs/performance.svg (plot).
"""
import argparse
import glob
import os
import re
import select
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools"))

import radar_sim  # noqa: E402
import waiting  # noqa: E402
from sandbox import PYTHON, Sandbox  # noqa: E402

LINE_RATE = 11520
BEGIN, END = "<!-- bench results -->", "<!-- end of bench results -->"
PACE_BEGIN, PACE_END = "<!-- pace results -->", "<!-- end of pace results -->"
BUILDS = REPO / "build-bench"
TICKS = os.sysconf("SC_CLK_TCK")
WORKLOADS = {
    # name: (frames of one cycle of the stream, stick inserted at the end)
    "outside": ([radar_sim.encode_frame(500)], False),
    "inside": ([radar_sim.encode_frame(200)], False),
    "walk + stick": (radar_sim.frames_for_trajectory(radar_sim.trajectory(4.0, 0.5, 36, back=True)),
                     True),
}


def log(text):
    print(text, file=sys.stderr, flush=True)


# -- builds ---------------------------------------------------------------

def build(name, source):
    folder = BUILDS / name
    subprocess.run(["cmake", "-S", source, "-B", folder, "-G", "Ninja", "-DKESTREL_TESTS=OFF",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "-j2"], check=True, stdout=subprocess.DEVNULL)
    return folder / "kestrel.abi3.so"


def repair_figures(folder):
    """The start's repair of a year of tagsheets, as bench/tagsheet_repair.cpp times it."""
    subprocess.run(["cmake", "--build", folder, "--target", "tagsheet_repair_bench"], check=True,
                   stdout=subprocess.DEVNULL)
    return subprocess.run([str(folder / "tagsheet_repair_bench")], check=True,
                          capture_output=True, text=True).stdout.strip()


def baseline_source(base):
    """The tree of the base commit, exported into build-bench/before-src."""
    commit = subprocess.run(["git", "merge-base", "HEAD", base], cwd=REPO, check=True,
                            capture_output=True, text=True).stdout.strip()
    source = BUILDS / "before-src"
    shutil.rmtree(source, ignore_errors=True)
    source.mkdir(parents=True)
    archive = subprocess.Popen(["git", "archive", commit], cwd=REPO, stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", source], stdin=archive.stdout, check=True)
    if archive.wait() != 0:
        raise SystemExit("git archive failed")
    return source, commit[:10]


# -- the program's process ------------------------------------------------

def program_pid(box):
    pids = [pid for pid in box.pids() if pid != box.pid1]
    if len(pids) != 1:
        raise SystemExit("expected one program process in the sandbox, found %r" % pids)
    return pids[0]


def cpu_seconds(pid):
    """(user, system) CPU seconds of a process."""
    with open("/proc/%d/stat" % pid, "rb") as stat:
        fields = stat.read().rsplit(b")", 1)[1].split()
    return int(fields[11]) / TICKS, int(fields[12]) / TICKS


def status_field(pid, name):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(name + ":"):
                return line.split()[1:]
    raise KeyError(name)


def wait_lines(box, count, timeout=60):
    """Time at which the console first held `count` distance lines. (An empty
    serial queue proves nothing: the program takes all waiting bytes at once.)"""

    def seen():
        return box.console_bytes().count(b"Distance of object:")

    def failure():
        return "the program printed %d of %d distance lines:\n%s" % (
            seen(), count, box.stderr_bytes()[-2000:].decode(errors="replace"))

    waiting.wait_until(lambda: seen() >= count, timeout, poll=0.001, error=SystemExit,
                       message=failure, ended=lambda: not box.running() and failure())
    return time.monotonic()


class Writer(threading.Thread):
    """Writes the cycle of frames again and again for `seconds` or `limit` bytes."""

    def __init__(self, box, frames, seconds=None, limit=None):
        super().__init__(daemon=True)
        cycle = b"".join(frames)
        self.chunk = cycle * max(1, 65536 // len(cycle))
        self.box, self.seconds, self.limit = box, seconds, limit
        self.written = 0
        self.started = None

    def run(self):
        master = self.box.master
        os.set_blocking(master, False)
        self.started = time.monotonic()
        end = self.started + self.seconds if self.seconds else None
        while (end is None or time.monotonic() < end) and (
                self.limit is None or self.written < self.limit):
            _, writable, _ = select.select([], [master], [], 0.05)
            at = self.written % len(self.chunk)
            rest = memoryview(self.chunk)[at:]
            if self.limit is not None:
                rest = rest[:self.limit - self.written]
            if writable:
                try:
                    self.written += os.write(master, rest)
                except BlockingIOError:
                    pass


def cpu_nanoseconds(pid):
    """Time the process has run on a processor, user and system, in nanoseconds."""
    with open("/proc/%d/schedstat" % pid) as schedstat:
        return int(schedstat.read().split()[0])


def measure_pace(module, rate, seconds):
    """Cores the program takes (processor seconds per wall second) while the
    radar sends `rate` frames a second inside the window (0: silent)."""
    frame = radar_sim.encode_frame(200)
    with sandbox(module) as box:
        start(box)
        pid = program_pid(box)
        time.sleep(1.5)  # past the start and the header's flush
        began, cpu_before = time.monotonic(), cpu_nanoseconds(pid)
        sent = 0
        if rate:
            while time.monotonic() < began + seconds:
                box.send(frame)
                sent += 1
                time.sleep(max(0.0, began + sent / rate - time.monotonic()))
        else:
            time.sleep(seconds)
        ended, cpu_after = time.monotonic(), cpu_nanoseconds(pid)
        if rate:
            wait_lines(box, sent)
    return {"seconds": ended - began, "frames": sent,
            "cores": (cpu_after - cpu_before) / 1e9 / (ended - began)}


# Where sticks are mounted: "bind", the sandbox's bind mount of a host folder,
# or "tmpfs", a tmpfs of its own mounted there at the start, as on the board.
MEDIA = "bind"


def sandbox(module, env=None):
    box = Sandbox(module=module, env=env)
    shutil.copy(Path(__file__).with_name("buzzer.py"), box.py / "buzzer.py")
    return box


def start(box):
    box.start()
    if MEDIA == "tmpfs":
        box.run_inside(["mount", "-t", "tmpfs", "-o", "mode=0755,size=64k", "kestrel-media",
                        "/media/pi"])


def insert_stick(box):
    if MEDIA == "tmpfs":
        box.run_inside(["mkdir", "/media/pi/STICK"])
        box.mount_stick("STICK")
    else:
        box.insert_stick("STICK")


def expected_lines(written, frames):
    """Console lines for the complete frames among the first `written` bytes."""
    cycle = b"".join(frames)
    whole, rest = divmod(written, len(cycle))
    return whole * len(frames) + sum(1 for end in _frame_ends(frames) if end <= rest)


def _frame_ends(frames):
    end = 0
    for frame in frames:
        end += len(frame)
        yield end


def measure_rate(module, workload, seconds):
    frames, stick = WORKLOADS[workload]
    with sandbox(module) as box:
        start(box)
        pid = program_pid(box)
        before = cpu_seconds(pid)
        writer = Writer(box, frames, seconds=seconds)
        writer.start()
        writer.join()
        done = wait_lines(box, expected_lines(writer.written, frames))
        after = cpu_seconds(pid)
        elapsed = done - writer.started
        if stick:
            insert_stick(box)
            box.send(b"\x00")
            box.wait_for_sudo(b"reboot", timeout=30)
            if not any(name.endswith(".txt") for name in box.stick_files("STICK")):
                raise SystemExit("the tagsheet did not reach the stick")
        peak = int(status_field(pid, "VmHWM")[0])
    return {
        "bytes": writer.written,
        "rate": writer.written / elapsed,
        "user_us": (after[0] - before[0]) / writer.written * 1e6,
        "sys_us": (after[1] - before[1]) / writer.written * 1e6,
        "rss_kib": peak,
    }


def median_rate(module, workload, seconds, repeat):
    """The run with the median rate of `repeat` runs: the machine is shared,
    and one run's rate can be off by a third."""
    runs = sorted((measure_rate(module, workload, seconds) for _ in range(repeat)),
                  key=lambda result: result["rate"])
    return runs[len(runs) // 2]


class CallgrindSandbox(Sandbox):
    """The interpreter under callgrind, instrumented only while told to."""

    OUT = "/run/kestrel/log/callgrind.out"

    def _bwrap_argv(self, code, info_fd):
        argv = super()._bwrap_argv(code, info_fd)
        at = len(argv) - 3
        assert argv[at] == PYTHON
        return argv[:at] + ["valgrind", "--tool=callgrind", "--instr-atstart=no",
                            "--callgrind-out-file=" + self.OUT, "--vgdb=yes"] + argv[at:]

    def monitor(self, command):
        """A callgrind monitor command, sent through vgdb inside the sandbox."""
        nspid = status_field(program_pid(self), "NSpid")[-1]
        subprocess.run(["nsenter", "-t", str(self.pid1), "-m", "-p", "--", "vgdb", "--pid=" + nspid]
                       + command.split(), check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)


def measure_instructions(module, workload, size):
    frames, _ = WORKLOADS[workload]
    with CallgrindSandbox(module=module) as box:
        shutil.copy(Path(__file__).with_name("buzzer.py"), box.py / "buzzer.py")
        box.start(timeout=120)
        box.monitor("instrumentation on")
        writer = Writer(box, frames, limit=size)
        writer.start()
        writer.join()
        wait_lines(box, expected_lines(size, frames), timeout=600)
        box.monitor("dump")
        total = 0
        for path in glob.glob(str(box.log / "callgrind.out*")):
            with open(path) as dump:
                found = re.search(r"^(?:summary|totals): (\d+)", dump.read(), re.M)
                total = max(total, int(found.group(1)) if found else 0)
    return total / size


# -- report ---------------------------------------------------------------

def svg_plot(results, names):
    """Grouped bars: bytes per second per workload, as multiples of the line rate."""
    width, height, left, top, bottom = 640, 320, 60, 30, 60
    plot_w, plot_h = width - left - 20, height - top - bottom
    peak = max(r["rate"] for by_build in results.values() for r in by_build.values()) / LINE_RATE
    scale_max = max(60, (int(peak / 10) + 1) * 10)
    y = lambda multiple: top + plot_h * (1 - multiple / scale_max)  # noqa: E731
    colours = {"before": "#b0b0b0", "after": "#2b7bba"}
    shapes = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
             'font-family="sans-serif" font-size="12">' % (width, height),
             '<rect width="100%" height="100%" fill="white"/>',
             '<text x="%d" y="18" font-size="14">Bytes per second consumed '
             '(multiple of 11,520 B/s line rate)</text>' % left]
    for multiple in range(0, scale_max + 1, 10):
        shapes.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#e0e0e0"/>'
                     % (left, left + plot_w, y(multiple), y(multiple)))
        shapes.append('<text x="%d" y="%.1f" text-anchor="end">%d×</text>'
                     % (left - 6, y(multiple) + 4, multiple))
    for goal, label in ((50, "goal outside"), (20, "goal inside")):
        shapes.append('<line x1="%d" x2="%d" y1="%.1f" y2="%.1f" stroke="#d62728" '
                     'stroke-dasharray="4 3"/><text x="%d" y="%.1f" fill="#d62728">%s %d×</text>'
                     % (left, left + plot_w, y(goal), y(goal), left + plot_w - 110, y(goal) - 4,
                        label, goal))
    group_w = plot_w / len(names)
    bar_w = group_w / 3
    for n, name in enumerate(names):
        for k, build_name in enumerate(("before", "after")):
            multiple = results[build_name][name]["rate"] / LINE_RATE
            x = left + n * group_w + bar_w / 2 + k * bar_w
            shapes.append('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="%s"/>'
                         % (x, y(multiple), bar_w, y(0) - y(multiple), colours[build_name]))
            shapes.append('<text x="%.1f" y="%.1f" text-anchor="middle">%.1f×</text>'
                         % (x + bar_w / 2, y(multiple) - 4, multiple))
        shapes.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>'
                     % (left + (n + 0.5) * group_w, top + plot_h + 18, name))
    for k, build_name in enumerate(("before", "after")):
        shapes.append('<rect x="%d" y="%d" width="12" height="12" fill="%s"/>'
                     '<text x="%d" y="%d">%s</text>'
                     % (left + k * 90, height - 22, colours[build_name], left + k * 90 + 16,
                        height - 12, build_name))
    shapes.append("</svg>")
    return "\n".join(shapes) + "\n"


def table(results, names):
    rows = ["| workload | build | bytes | bytes/s | × line rate | user µs/B | system µs/B "
            "| instructions/B | peak RSS KiB |",
            "|---|---|---:|---:|---:|---:|---:|---:|---:|"]
    for name in names:
        for build_name in ("before", "after"):
            r = results[build_name][name]
            rows.append("| %s | %s | %d | %.0f | %.1f | %.2f | %.2f | %s | %d |" % (
                name, build_name, r["bytes"], r["rate"], r["rate"] / LINE_RATE, r["user_us"],
                r["sys_us"], "%.0f" % r["instr"] if "instr" in r else "-", r["rss_kib"]))
    return "\n".join(rows) + "\n"


PACES = {"silent": 0, "20 frames/s inside": 20}
PACE_GOALS = {"silent": 0.01, "20 frames/s inside": 0.02}


def pace_table(results):
    rows = ["| radar | build | seconds | frames | cores (CPU s per s) | goal |",
            "|---|---|---:|---:|---:|---:|"]
    for name in PACES:
        for build_name in ("before", "after"):
            r = results[build_name][name]
            rows.append("| %s | %s | %.1f | %d | %.4f | ≤ %.2f |" % (
                name, build_name, r["seconds"], r["frames"], r["cores"], PACE_GOALS[name]))
    return "\n".join(rows) + "\n"


def rewrite_block(text, begin, end, block):
    return re.sub(re.escape(begin) + ".*?" + re.escape(end), lambda _: block, text, flags=re.S)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="stream length per run")
    parser.add_argument("--repeat", type=int, default=3,
                        help="streams per workload and build; the median rate is shown")
    parser.add_argument("--callgrind-bytes", type=int, default=13 * 400,
                        help="bytes per callgrind run (0: skip callgrind)")
    parser.add_argument("--pace-seconds", type=float, default=20.0,
                        help="wall seconds per pace measurement (0: skip them)")
    parser.add_argument("--base", default="main", help="branch whose code is 'before'")
    parser.add_argument("--media", choices=("bind", "tmpfs"), default="bind",
                        help="/media/pi as the sandbox has it (a bind mount of a host folder) "
                        "or a tmpfs of its own, as on the board")
    parser.add_argument("--output", default=str(REPO / "docs" / "performance.md"),
                        help="document whose results block is rewritten (plot beside it, .svg)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("run as root: the sandbox mounts tmpfs sticks")
    global MEDIA
    MEDIA = args.media

    source, commit = baseline_source(args.base)
    log("building before (%s) and after (working tree)" % commit)
    modules = {"before": build("before", source), "after": build("after", REPO)}
    names = list(WORKLOADS)
    results = {build_name: {} for build_name in modules}
    for name in names:
        for build_name, module in modules.items():
            result = median_rate(module, name, args.seconds, args.repeat)
            if args.callgrind_bytes:
                result["instr"] = measure_instructions(module, name, args.callgrind_bytes)
            results[build_name][name] = result
            log("%-13s %-6s %8.0f B/s %6.1fx  %s instr/B" % (
                name, build_name, result["rate"], result["rate"] / LINE_RATE,
                "%.0f" % result["instr"] if "instr" in result else "-"))

    paced = {build_name: {} for build_name in modules}
    if args.pace_seconds:
        for name, rate in PACES.items():
            for build_name, module in modules.items():
                result = measure_pace(module, rate, args.pace_seconds)
                paced[build_name][name] = result
                log("%-20s %-6s %.4f cores over %.1f s" % (
                    name, build_name, result["cores"], result["seconds"]))

    output = Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    svg = output.with_suffix(".svg")
    svg.write_text(svg_plot(results, names))
    ran = "Before: %s (merge-base with %s); after: the working tree. Run %s" % (
        commit, args.base, time.strftime("%Y-%m-%d %H:%M"))
    if MEDIA == "tmpfs":
        ran += ", /media/pi a tmpfs of its own"
    block = "%s\n%s, %g s streams, the median rate of %d.\n\n%s%s" % (
        BEGIN, ran, args.seconds, args.repeat, table(results, names), END)
    text = rewrite_block(output.read_text() if output.exists() else BEGIN + END,
                         BEGIN, END, block)
    print(block)
    if args.pace_seconds:
        repair = repair_figures(BUILDS / "after")
        log(repair)
        pace_block = "%s\n%s, %g s a measurement.\n\n%s\nThe start's repair (after): %s.\n%s" % (
            PACE_BEGIN, ran, args.pace_seconds, pace_table(paced), repair, PACE_END)
        text = rewrite_block(text, PACE_BEGIN, PACE_END, pace_block)
        print(pace_block)
    output.write_text(text)
    log("wrote %s and %s" % (output, svg))


if __name__ == "__main__":
    main()
