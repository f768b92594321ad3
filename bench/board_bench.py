#!/usr/bin/python3
"""The logger's instructions per received byte and per frame on the emulated
armhf board of tests/board: the whole process, user and kernel, with the
board's own UART driver and file system. bench/board runs it.

The board boots with one processor under QEMU's -icount shift=0: its clock
then advances one nanosecond per executed instruction, so the processor time
the board reports for the logger's process (/proc/PID/schedstat, user and
system, in nanoseconds) is the number of instructions it ran. A loop of known
length checks that first. The radar's frames go in on the board's UART at the
line rate as the host's clock paces them; the board's clock runs slower than
the host's while it is busy, so the figures are counts, never rates.

Per workload: instructions per byte and per frame in the logger's process,
its wake-ups per frame (voluntary context switches), and the instructions of
the whole board (every process and the kernel: the UART's interrupts, the
journal that takes the logger's lines) per byte. Then the logger's
instructions per second with the radar silent and at 20 frames a second
inside the window.
"""
import argparse
import base64
import json
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "board"))
sys.path.insert(0, os.path.join(REPO, "tools"))

import board as board_module  # noqa: E402
import console  # noqa: E402
import machine  # noqa: E402
import radar_sim  # noqa: E402
import snapshots  # noqa: E402
import sticks  # noqa: E402

LINE_RATE = 11520  # bytes a second: 115200 baud, 8N1
FRAME_BYTES = len(radar_sim.encode_frame(0))
GUEST_HZ = 100  # the guest's USER_HZ, the unit of /proc/stat
LOOP_ITERATIONS = 100_000_000  # bench/count_loop.S: two instructions each, per argument
STICK_LABEL = "BENCH"
TRACING = "/sys/kernel/tracing"
SYSCALL_HEADER = "/usr/arm-linux-gnueabihf/include/asm/unistd-eabi.h"
SYSCALL_FRAMES = 200  # frames per workload whose system calls are traced
WALK = radar_sim.frames_for_trajectory(radar_sim.trajectory(4.0, 0.5, 36, back=True))
WORKLOADS = {
    # name: one cycle of the stream's frames
    "outside": [radar_sim.encode_frame(500)],
    "inside": [radar_sim.encode_frame(200)],
    "walk + stick": WALK,
}


def log(text):
    print("board bench: " + text, file=sys.stderr, flush=True)


# -- the board -------------------------------------------------------------

def boot_counting_board(settings):
    """A board booted with the package installed, one processor and its
    clock counting instructions; returns (board, seconds to its shell)."""
    disk = settings.path("disk.qcow2")
    machine.new_overlay(snapshots.installed_disk(settings), disk, base_format="qcow2")
    qemu = machine.Machine(settings.image, settings.run_dir, disk, cpus=1, icount=True)
    qemu.start()
    try:
        booted = qemu.wait_booted(timeout=1800)
        board = board_module.Board(qemu)
        board.wait_service_active(timeout=600)
    except BaseException:
        qemu.quit()
        raise
    return board, booted


def logger_pid(board):
    return int(board.service()["MainPID"])


class Counters:
    """What the board counts, read in one command: the logger's processor
    time (instructions) and voluntary context switches, the board's time up
    and idle, and the bytes its UART received."""

    def __init__(self, board, pid):
        text = board.sh("cat /proc/%d/schedstat; grep ^voluntary_ctxt /proc/%d/status; "
                        "cat /proc/uptime; grep '^cpu ' /proc/stat; "
                        "grep -o 'rx:[0-9]*' /proc/tty/driver/ttyAMA; "
                        "cut -d' ' -f3 /proc/%d/stat" % (pid, pid, pid))
        lines = text.splitlines()
        self.logger = int(lines[0].split()[0])
        self.wakeups = int(lines[1].split()[1])
        self.uptime = float(lines[2].split()[0])
        cpu = [int(value) for value in lines[3].split()[1:]]
        idle = (cpu[3] + cpu[4]) / GUEST_HZ  # idle and waiting for the disk
        self.busy = round((self.uptime - idle) * 1e9)  # instructions of the whole board
        self.received = int(lines[4].split(":")[1])
        self.sleeping = lines[5] == "S"

    def since(self, before):
        return {"instructions": self.logger - before.logger,
                "wakeups": self.wakeups - before.wakeups,
                "board_instructions": self.busy - before.busy,
                "guest_seconds": self.uptime - before.uptime,
                "received": self.received - before.received}


def frames_counted(board):
    """The frames the logger's status line counts (it is sent at most every
    five seconds, when the link is idle)."""
    text = board.sh("systemctl show -p StatusText --value kestrel")
    found = re.search(r"(\d+) frames", text)
    return int(found.group(1)) if found else None


def wait_quiet(board, pid, received, timeout=600):
    """Waits until the UART has received `received` bytes in all and the
    logger sleeps and has not run since the last look: it has taken them all.
    Returns the counters."""
    last = [None]

    def quiet():
        now = Counters(board, pid)
        done = (now.received >= received and now.sleeping and last[0] is not None
                and now.logger == last[0].logger)
        last[0] = now
        return now if done else None
    return machine.wait_until(quiet, timeout, "the logger to take %d bytes" % received, 1.0)


def send_paced(board, frames, rate):
    """Sends frames, rate a second by the host's clock; late frames go at once."""
    started = time.monotonic()
    for number, frame in enumerate(frames):
        delay = started + number / rate - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        board.qemu.radar.send(frame)
    return time.monotonic() - started


# -- measurements ----------------------------------------------------------

def check_counting(board, folder):
    """Runs bench/count_loop.S with one and with two arguments on the board:
    the second runs 2 x 10^8 instructions more. Returns the counted difference
    and the first run's count."""
    loop = os.path.join(folder, "count_loop")
    subprocess.run(["arm-linux-gnueabihf-as", "-o", loop + ".o",
                    os.path.join(HERE, "count_loop.S")], check=True)
    subprocess.run(["arm-linux-gnueabihf-ld", "-static", "-s", "-o", loop, loop + ".o"],
                   check=True)
    with open(loop, "rb") as program:
        encoded = base64.b64encode(program.read()).decode()
    board.sh("echo %s | base64 -d >/tmp/count_loop && chmod +x /tmp/count_loop" % encoded)

    def counted(*arguments):
        # The process's own processor time as its parent is told (getrusage),
        # in microseconds: the exec, the loop and the exit.
        text = board.sh("/usr/bin/python3 -c '"
                        "import resource, subprocess, sys; "
                        "subprocess.run(sys.argv[1:]); "
                        "r = resource.getrusage(resource.RUSAGE_CHILDREN); "
                        "print(round((r.ru_utime + r.ru_stime) * 1e9))' /tmp/count_loop %s"
                        % " ".join(arguments), timeout=600)
        return int(text.split()[-1])
    one, two = counted(), counted("x")
    return {"one": one, "difference": two - one, "expected": 2 * LOOP_ITERATIONS}


def measure_stream(board, pid, cycle, frames, rate):
    """Sends whole cycles of frames, at least `frames`, at rate frames a second."""
    stream = cycle * -(-frames // len(cycle))
    counted = frames_counted(board) or 0
    before = Counters(board, pid)
    host_seconds = send_paced(board, stream, rate)
    after = wait_quiet(board, pid, before.received + len(stream) * FRAME_BYTES)
    result = after.since(before)
    result.update(frames=len(stream), bytes=len(stream) * FRAME_BYTES, host_seconds=host_seconds)
    machine.wait_until(lambda: (frames_counted(board) or 0) >= counted + len(stream), 120,
                       "the logger's status line to count the frames", 1.0)
    return result


def measure_silence(board, pid, seconds):
    before = Counters(board, pid)
    time.sleep(seconds)
    return Counters(board, pid).since(before)


def measure_pace(board, pid, rate, seconds):
    """rate frames a second inside the window for seconds, by the host's clock."""
    frames = [radar_sim.encode_frame(200)] * int(rate * seconds)
    before = Counters(board, pid)
    send_paced(board, frames, rate)
    after = wait_quiet(board, pid, before.received + len(frames) * FRAME_BYTES)
    result = after.since(before)
    result.update(frames=len(frames), bytes=len(frames) * FRAME_BYTES)
    return result


def syscall_names():
    """ARM EABI system call numbers to names, from the cross compiler's headers."""
    names = {}
    with open(SYSCALL_HEADER) as header:
        for line in header:
            found = re.match(r"#define __NR_(\w+) \(__NR_SYSCALL_BASE \+ (\d+)\)", line)
            if found:
                names[int(found.group(2))] = found.group(1)
    return names


def measure_syscalls(board, pid, cycle, frames, rate):
    """The logger's system calls per frame while frames of cycle come rate a
    second, from the kernel's trace of system call entries (its own cost
    is in no other figure: this stream is not counted)."""
    stream = cycle * -(-frames // len(cycle))
    event = TRACING + "/events/raw_syscalls/sys_enter"
    board.sh("echo 0 >%s/tracing_on; echo >%s/trace; echo 8192 >%s/buffer_size_kb; "
             "echo 'common_pid == %d' >%s/filter; echo 1 >%s/enable; echo 1 >%s/tracing_on"
             % (TRACING, TRACING, TRACING, pid, event, event, TRACING))
    received = Counters(board, pid).received
    send_paced(board, stream, rate)
    wait_quiet(board, pid, received + len(stream) * FRAME_BYTES)
    text = board.sh("echo 0 >%s/enable; echo 0 >%s/filter; grep -q 'LOST EVENTS' %s/trace "
                    "&& echo lost; grep -o 'sys_enter: NR [0-9]*' %s/trace | sort | uniq -c"
                    % (event, event, TRACING, TRACING), timeout=300)
    board.sh("echo >%s/trace; echo 1 >%s/tracing_on" % (TRACING, TRACING))
    if "lost" in text.split():
        raise machine.BoardError("the trace of the logger's system calls lost events")
    names = syscall_names()
    calls = {}
    for count, number in re.findall(r"(\d+) sys_enter: NR (\d+)", text):
        calls[names.get(int(number), number)] = int(count) / len(stream)
    return calls


def measure_export(board, pid, folder):
    """A stick plugged in and one more frame: the logger exports and restarts
    the board. Its instructions from the plug to the last reading of its
    counters before the restart (read every second)."""
    stick = os.path.join(folder, "stick.img")
    sticks.make(stick, STICK_LABEL)
    before = Counters(board, pid)
    board.qemu.plug_stick(stick, "bench")
    machine.wait_until(lambda: board.shell.run("findmnt /media/pi/" + STICK_LABEL,
                                               check=False)[0] == 0, 600, "the stick mounted")
    board.qemu.radar.send(radar_sim.encode_frame(400))
    last = before
    deadline = time.monotonic() + 1800
    while time.monotonic() < deadline:
        try:
            last = Counters(board, pid)
        except (machine.BoardError, IndexError, ValueError):
            break  # the logger has ended, or the board is going down
        time.sleep(1.0)
    board.qemu.qmp.wait_event("RESET", 1800)
    return {"instructions": last.logger - before.logger}


# -- figures ---------------------------------------------------------------

# Instructions a cycle of a 1 GHz ARM1176: single issue, so at most 1; 0.5
# in the middle, 0.3 for the kernel's code missing its 16 KB caches.
CLOCK_HZ = 1e9
IPC = 0.5
IPC_RANGE = (1.0, 0.3)
BEGIN, END = "<!-- board results -->", "<!-- end of board results -->"

def per_unit(result):
    return {"per_byte": result["instructions"] / result["bytes"],
            "per_frame": result["instructions"] / result["frames"],
            "board_per_byte": result["board_instructions"] / result["bytes"],
            "wakeups_per_frame": result["wakeups"] / result["frames"]}


def cores(instructions_per_second):
    """Shares of a 1 GHz ARM1176 core: at IPC, and at either end of IPC_RANGE."""
    return [instructions_per_second / (ipc * CLOCK_HZ) for ipc in (IPC,) + IPC_RANGE]


def share(instructions_per_second):
    middle, low, high = cores(instructions_per_second)
    return "%.4f (%.4f–%.4f)" % (middle, low, high)


def silent_per_second(results):
    silent = results["silent"]
    return silent["instructions"] / silent["guest_seconds"]


def workload_rows(results):
    silence = silent_per_second(results)
    rows = []
    for name, result in results["workloads"].items():
        at_20 = result["per_frame"] * 20 + silence
        at_line = result["per_byte"] * LINE_RATE
        back = result["back_to_back"]
        rows.append("| %s | %d | %.0f | %.0f | %.2f | %.0f | %.0f | %.2f | %s | %s | %.0f |" % (
            name, result["bytes"], result["per_byte"], result["per_frame"],
            result["wakeups_per_frame"], result["board_per_byte"], back["per_byte"],
            back["wakeups_per_frame"], share(at_20), share(at_line),
            IPC * CLOCK_HZ / result["per_frame"]))
    return rows


def pace_rows(results):
    """A silent radar per second of the board's clock (idle, it keeps the
    host's pace); 20 frames a second per second of the radar's, as the board
    falls behind the host's clock while it works."""
    pace = results["pace"]
    rows = []
    for name, result, seconds, goal in (
            ("silent", results["silent"], results["silent"]["guest_seconds"], "0.00"),
            ("20 frames/s inside", pace, pace["frames"] / 20, "≤ 0.01")):
        per_second = result["instructions"] / seconds
        board = result["board_instructions"] / seconds
        rows.append("| %s | %.1f | %d | %.0f | %.0f | %s | %s |" % (
            name, seconds, result.get("frames", 0), per_second, board, share(per_second),
            goal))
    return rows


def check_line(check):
    error = (check["difference"] - check["expected"]) / check["expected"]
    return ("The count, checked with a loop of known length (`bench/count_loop.S`, run with "
            "one and with two arguments): %s instructions more counted for %s more run "
            "(%+.4f %%); the process with 2 × 10^8 in its loop counted %s." % (
                "{:,}".format(check["difference"]), "{:,}".format(check["expected"]),
                100 * error, "{:,}".format(check["one"])))


def render(results):
    options = results["options"]
    when = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(results["started"]))
    lines = [
        BEGIN,
        "Run %s: `%s -smp 1 -icount shift=0`, %s; per workload %d frames, %g a second, "
        "then %d back to back at the line rate; the board booted in %d s." % (
            when, machine.describe("armhf").split(" -smp")[0],
            os.path.basename(options["deb"]), options["frames"], options["rate"],
            options["frames"], results["boot_seconds"]),
        "",
        check_line(results["check"]),
        "",
        "| workload | bytes | instructions/B | instructions/frame | wake-ups/frame "
        "| board instructions/B | back to back: instructions/B | back to back: wake-ups/frame "
        "| cores at 20 frames/s | cores at the line rate | frames/s a core keeps up with |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ] + workload_rows(results) + [
        "",
        "| radar | seconds | frames | logger instructions/s | board instructions/s "
        "| cores | goal |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ] + pace_rows(results)
    lines += ["", "The logger's system calls per frame, %g frames a second (%d frames a "
              "workload, from the kernel's trace of system call entries):"
              % (options["rate"], SYSCALL_FRAMES), ""]
    lines += ["- %s: %s" % (name, ", ".join(
        "`%s` %.2f" % (call, count) for call, count in
        sorted(result.get("syscalls", {}).items(), key=lambda item: -item[1])))
        for name, result in results["workloads"].items()]
    if "export" in results:
        lines += ["", "The export at the end of walk + stick: %s instructions in the "
                  "logger's process, from the stick's plug to its last reading before the "
                  "restart." % "{:,}".format(results["export"]["instructions"])]
    lines += [END]
    return "\n".join(lines)


def write_docs(path, results):
    """Puts the section between its markers in path; appends it if it has none."""
    with open(path) as page:
        text = page.read()
    section = render(results)
    if BEGIN in text:
        start, rest = text.split(BEGIN, 1)
        text = start + section + rest.split(END, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n" + section + "\n"
    with open(path, "w") as page:
        page.write(text)


def run(options):
    settings = console.Settings(options.image, options.deb, options.run_dir)
    facts = snapshots.installed_facts(settings, lambda what, seconds: log(
        "%s: %.0f s" % (what, seconds)))
    log("booting the board with its clock counting instructions")
    board, booted = boot_counting_board(settings)
    results = {"boot_seconds": round(booted), "install_seconds": facts["install_seconds"],
               "options": vars(options), "started": time.time()}
    try:
        pid = logger_pid(board)
        log("the loop of known length")
        results["check"] = check_counting(board, settings.run_dir)
        log("check: %r" % results["check"])
        time.sleep(options.settle)  # past the start's own work
        log("a silent radar for %d s" % options.silence)
        results["silent"] = measure_silence(board, pid, options.silence)
        log("20 frames a second inside the window for %d s" % options.pace_seconds)
        results["pace"] = measure_pace(board, pid, 20, options.pace_seconds)
        results["workloads"] = {}
        for name, cycle in WORKLOADS.items():
            log("%s: %d frames, %g a second" % (name, options.frames, options.rate))
            result = measure_stream(board, pid, cycle, options.frames, options.rate)
            result.update(per_unit(result))
            log("%s: %.0f instructions a byte; back to back at the line rate" % (
                name, result["per_byte"]))
            back_to_back = measure_stream(board, pid, cycle, options.frames,
                                          LINE_RATE / FRAME_BYTES)
            back_to_back.update(per_unit(back_to_back))
            result["back_to_back"] = back_to_back
            log("%s: the logger's system calls" % name)
            result["syscalls"] = measure_syscalls(board, pid, cycle, SYSCALL_FRAMES, options.rate)
            results["workloads"][name] = result
        if options.stick:
            log("the stick: export and restart")
            try:
                results["export"] = measure_export(board, pid, settings.run_dir)
            except machine.BoardError as error:
                log("the export could not be measured: %s" % error)
    finally:
        board.qemu.quit()
    results["finished"] = time.time()
    return results


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--image", help="folder of the armhf guest image")
    parser.add_argument("--deb", help="the armhf kestrel package")
    parser.add_argument("--run-dir", help="folder for the disk, sockets and logs")
    parser.add_argument("--frames", type=int, default=1000, help="frames per workload")
    parser.add_argument("--rate", type=float, default=100,
                        help="frames a second of the workloads' first streams (the second "
                        "goes at the line rate)")
    parser.add_argument("--silence", type=int, default=30, help="seconds of a silent radar")
    parser.add_argument("--pace-seconds", type=int, default=20,
                        help="seconds of 20 frames a second")
    parser.add_argument("--settle", type=int, default=10,
                        help="seconds to wait after the check before measuring")
    parser.add_argument("--no-stick", dest="stick", action="store_false",
                        help="leave out the export at the end of walk + stick")
    parser.add_argument("--results", help="write the figures to this JSON file")
    parser.add_argument("--from-results", metavar="JSON",
                        help="no run: write the section from the figures of an earlier one")
    parser.add_argument("--output", default=os.path.join(REPO, "docs", "performance.md"),
                        help="the page whose board section is written")
    options = parser.parse_args(argv)
    if not options.from_results and not (options.image and options.deb and options.run_dir):
        parser.error("a run needs --image, --deb and --run-dir (bench/board gives them)")
    return options


def main(argv):
    options = parse_args(argv[1:])
    if options.from_results:
        with open(options.from_results) as saved:
            results = json.load(saved)
    else:
        results = run(options)
    if options.results:
        with open(options.results, "w") as out:
            json.dump(results, out, indent=1)
    write_docs(options.output, results)
    print(render(results))


if __name__ == "__main__":
    main(sys.argv)
