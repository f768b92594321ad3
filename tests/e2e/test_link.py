"""pyserial's own link is read through its descriptor; any other link object
through its inWaiting() and read(). Both must give the same run."""
import re
import time

import radar_sim

# A link that is not pyserial: the same device, used only through the two
# methods. It has an `fd` too, which must not tempt the program.
STAND_IN = """
import fcntl, os, struct, termios, tty
import serial

class StandIn:
    def __init__(self, port, baud):
        self.fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        termios.tcflush(self.fd, termios.TCIFLUSH)

    def inWaiting(self):
        return struct.unpack("I", fcntl.ioctl(self.fd, termios.TIOCINQ, bytes(4)))[0]

    def read(self):
        return os.read(self.fd, 1)

serial.Serial = StandIn
import kestrel
"""

STREAM = (b"".join(radar_sim.frames_for_trajectory(radar_sim.trajectory(4.0, 0.5, 20, back=True)))
          + bytes.fromhex("0C 08 00 00 01 2C 00 02 BC 00 55")  # rejected
          + radar_sim.encode_frame(0x0A55) + b"\x55")  # marker-like payload, bare end marker
DISTANCE_LINES = 39 + 2  # the walk, the marker-like payload, the bare marker again


def read_syscalls(box):
    program = next(pid for pid in box.pids() if pid != box.pid1)
    with open("/proc/%d/io" % program) as io:
        return int(re.search(r"^syscr: (\d+)", io.read(), re.M).group(1))


def run(box, code):
    """What the run did, with the clock's texts masked, and its read calls for the stream."""
    box.start(code=code)
    reads_before = read_syscalls(box)
    box.send(STREAM)
    box.wait_for_console(rb"Distance of object:", count=DISTANCE_LINES)
    reads = read_syscalls(box) - reads_before
    box.insert_stick("STICK")
    box.send(b"\x00")
    box.wait_for_sudo(b"reboot", timeout=15)
    tagsheets = [re.sub(rb"\d\d-\d\d-\d{4}|\d\d-\d\d-\d\d", b"<clock>", path.read_bytes())
                 for path in sorted(box.tagsheets_dir.rglob("*.txt"))]
    # rsync's closing statistics change from run to run.
    console = [line for line in box.console() if not re.match(rb"sent |total size ", line)]
    return (console, box.buzzer_log(), box.sudo_log(), tagsheets,
            sorted(box.stick_files("STICK"))), reads


def test_pyserial_read_by_descriptor_and_a_stand_in_link_run_alike(sandbox, kestrel_module):
    from sandbox import Sandbox
    fast, fast_reads = run(sandbox, "import kestrel")
    with Sandbox(module=kestrel_module) as other:
        generic, generic_reads = run(other, STAND_IN)
    assert fast == generic
    console, buzzer, sudo, _, _ = fast
    assert sum(line.startswith(b"Distance") for line in console) == DISTANCE_LINES and buzzer.count("blow") > 10 and sudo[-1] == [b"reboot"]
    # The stand-in reads one byte per call; pyserial's link takes what is waiting at once.
    assert generic_reads >= len(STREAM)
    assert fast_reads < len(STREAM) / 4


def process_state(pid):
    """The scheduler's state letter and the CPU ticks (user + system) used so far."""
    with open("/proc/%d/stat" % pid, "rb") as stat:
        fields = stat.read().rsplit(b")", 1)[1].split()
    return fields[0].decode(), int(fields[11]) + int(fields[12])


def test_a_silent_radar_leaves_the_program_asleep_until_a_byte_comes(sandbox):
    sandbox.start()
    program = next(pid for pid in sandbox.pids() if pid != sandbox.pid1)
    _, ticks_before = process_state(program)
    states = set()
    for _ in range(50):
        states.add(process_state(program)[0])
        time.sleep(0.02)
    state, ticks_after = process_state(program)
    # A busy poll is always running or runnable (R) and takes a core: about
    # 100 ticks a second.
    assert states | {state} == {"S"}
    assert ticks_after - ticks_before <= 5
    sandbox.send(radar_sim.encode_frame(150))
    sandbox.wait_for_console(rb"Distance of object:1\.50\n")
    sandbox.wait_until(lambda: sandbox.buzzer_log() == ["blow"], what="the buzzer's blow")


def test_a_stand_in_link_serves_a_stick_while_the_radar_is_silent(sandbox):
    sandbox.start(code=STAND_IN)
    sandbox.insert_stick("STICK")
    sandbox.wait_for_sudo(b"reboot", timeout=15)
    assert [argv[0] for argv in sandbox.sudo_log()[3:]] == [b"rsync", b"umount", b"rm", b"reboot"]
