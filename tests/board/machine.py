"""The emulated board: QEMU's ARM virt machine (armhf or arm64, as the guest
image's manifest says) running the guest image, and the three ways the tests
reach it, as a person would: the radar on the board's
UART, QMP for the power and the USB port, and a root shell on the console for
reading its state."""
import base64
import errno
import fcntl
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import time
import uuid

import image
import waiting

CPUS = 2
# QEMU's machine for each architecture of the guest. armhf: Debian's armmp
# kernel is not LPAE and sees no PCI bus (so no USB controller) with the PCI
# windows above 4 GiB that virt has by default. arm64: the Cortex-A53 of the
# Pi 3 and Zero 2 W. Under TCG it boots as fast as the Pi 4's A72 (both 48 to
# 68 s to the shell, within the machine's noise); QEMU's "max" took 137 s, its
# pointer authentication being emulated.
MACHINES = {
    "armhf": {"program": "qemu-system-arm", "machine": "virt,highmem=off", "cpu": "cortex-a15",
              "memory_mb": 512},
    "arm64": {"program": "qemu-system-aarch64", "machine": "virt", "cpu": "cortex-a53",
              "memory_mb": 1024},
}
KERNEL_ARGS = ("rw rootwait console=hvc0 quiet loglevel=3 fsck.repair=yes "
               "systemd.show_status=false trace_event=gpio:gpio_value")
PROMPT = re.compile(rb"root@raspberrypi:[^\n]*# ")
# QEMU drops console output it cannot pass on at once (virtio-console does not
# wait for a slow reader), and a socket's buffer fills with a few hundred of
# the console's small writes while a loaded host keeps the reader waiting.
# The console is a pair of FIFOs instead, whose buffer holds this many bytes.
CONSOLE_BUFFER = 1 << 20
# A unix socket's path holds at most 107 bytes, and a board's folder, named
# after its test inside a clone's build tree, can be longer. QEMU runs in the
# board's folder and makes its sockets there under short names; the harness
# reaches them through QEMU's working folder in /proc.
QMP_SOCKET = "qmp.sock"
RADAR_SOCKET = "radar.sock"


class BoardError(Exception):
    pass


class LostOutput(BoardError):
    """The console lost part of a command's output (seen under heavy load):
    the command ran, but what it printed is not known."""


def wait_until(check, timeout, what, interval=0.2):
    """waiting.wait_until on the board: a poll whose output the console lost
    is asked again, and what is not met by timeout is a BoardError."""
    def poll():
        try:
            return check()
        except LostOutput:
            return None
    return waiting.wait_until(poll, timeout, what, poll=interval, error=BoardError)


def connect_unix(path, ended, timeout=30):
    """A link to QEMU's socket at path once QEMU has made it; ended() tells
    why waiting is pointless (QEMU ended) or gives a false value."""
    def attempt():
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(path)
            return sock
        except OSError:
            sock.close()
            return None
    return waiting.wait_until(attempt, timeout, "QEMU's socket " + path, poll=0.05,
                              error=BoardError, ended=ended)


def reader(stream):
    """Everything a socket or FIFO of QEMU's sends, collected in a thread for waiting on."""
    return waiting.StreamReader(stream, error=BoardError)


class Qmp:
    """QEMU's machine protocol: a command at a time, with the events kept.
    (A few lines of JSON; Debian 12 packages no QMP client library.)"""

    def __init__(self, path, ended):
        self.sock = connect_unix(path, ended)
        self.reader = reader(self.sock)
        self.offset = 0
        self.events = []
        self._next()  # the greeting
        self.command("qmp_capabilities")

    def _next(self, timeout=60):
        match = self.reader.wait_match(re.compile(rb"[^\n]*\n"), timeout, self.offset)
        self.offset = match.end()
        return json.loads(match.group(0))

    def command(self, name, timeout=120, **arguments):
        self.sock.sendall(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        while True:
            reply = self._next(timeout)
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise BoardError("QMP %s: %s" % (name, reply["error"].get("desc")))
            elif "return" in reply:
                return reply["return"]

    def hmp(self, line, timeout=300):
        """A human monitor command (savevm has no QMP command in QEMU 7.2)."""
        text = self.command("human-monitor-command", timeout=timeout, **{"command-line": line})
        if text.strip():
            raise BoardError("monitor: %s: %s" % (line, text.strip()))

    def wait_event(self, name, timeout, **data):
        """The first event called name whose data holds data."""
        deadline = time.monotonic() + timeout
        while True:
            for number, event in enumerate(self.events):
                if event["event"] == name and data.items() <= event.get("data", {}).items():
                    del self.events[: number + 1]
                    return event
            left = deadline - time.monotonic()
            if left <= 0:
                raise BoardError("no %s event within %.0f s" % (name, timeout))
            try:
                reply = self._next(left)
            except BoardError:
                continue
            if "event" in reply:
                self.events.append(reply)

    def close(self):
        self.sock.close()


def make_console(base):
    """The FIFOs of QEMU's pipe chardev at base (base.in, base.out) and the
    reader of base.out, made before QEMU opens them so none of its output
    finds a full buffer."""
    for path in (base + ".in", base + ".out"):
        if os.path.exists(path):
            os.remove(path)
        os.mkfifo(path, 0o600)
    output = os.open(base + ".out", os.O_RDONLY | os.O_NONBLOCK)
    fcntl.fcntl(output, fcntl.F_SETPIPE_SZ, CONSOLE_BUFFER)
    return reader(os.fdopen(output, "rb"))


def open_console_input(base, timeout=30):
    """base.in for writing, once QEMU has opened it."""
    def attempt():
        try:
            return os.open(base + ".in", os.O_WRONLY | os.O_NONBLOCK)
        except OSError as error:
            if error.errno != errno.ENXIO:  # ENXIO: no reader yet
                raise
            return None
    fd = wait_until(attempt, timeout, "QEMU's console " + base + ".in", 0.05)
    os.set_blocking(fd, True)
    return os.fdopen(fd, "wb", buffering=0)


class Shell:
    """The root shell that the console logs in by itself; output is read up to
    a marker that only the shell's own expansion prints."""

    def __init__(self, console_reader, base):
        self.reader = console_reader
        self.input = open_console_input(base)
        self.offset = 0

    def send(self, data):
        self.input.write(data)

    def wait_login(self, timeout):
        match = self.reader.wait_match(PROMPT, timeout, self.offset)
        self.offset = match.end()
        # Without line editing bash leaves the echo to the terminal, which is off.
        self.run("set +o emacs +o vi; stty -echo -onlcr </dev/tty; PS1=; PS2=; dmesg -n 1; "
                 "export SYSTEMD_PAGER= PAGER=cat TERM=dumb", timeout=30)

    def run(self, command, timeout=60, check=True):
        """Runs command; returns (status, output)."""
        token = uuid.uuid4().hex
        begin = "%s-begin" % token
        line = "printf '%%s\\n' %s; { %s\n} </dev/null 2>&1; printf '\\n%%s-end %%d\\n' %s $?\n" % (
            begin, command, token)
        self.send(line.encode())
        end = self.reader.wait_match(re.compile(token.encode() + rb"-end (\d+)\r?\n"), timeout,
                                     self.offset)
        self.offset, offset = end.end(), self.offset
        try:
            start = self.reader.wait_match(re.compile(re.escape(begin.encode()) + rb"\r?\n"), 0,
                                           offset)
        except BoardError:
            raise LostOutput("the output of %r was cut short on the console" % command)
        output = self.reader.data[start.end(): end.start()].replace(b"\r", b"")
        output = output[:-1] if output.endswith(b"\n") else output
        status = int(end.group(1))
        if check and status != 0:
            raise BoardError("guest command failed (%d): %s\n%s"
                             % (status, command, output.decode(errors="replace")))
        return status, output.decode(errors="replace")

    def out(self, command, timeout=60):
        """The command's output without its last line end."""
        return self.run(command, timeout)[1].rstrip("\n")

    def read_file(self, path, timeout=60):
        """The file's bytes, or None when it does not exist."""
        status, text = self.run("base64 -w0 %s" % shlex.quote(path), timeout, check=False)
        if status != 0:
            if "No such file" in text:
                return None
            raise BoardError("cannot read %s: %s" % (path, text))
        return base64.b64decode(text.strip())

    def close(self):
        self.input.close()


class Radar:
    """The radar's end of the UART, held open for the whole run."""

    def __init__(self, path, ended):
        self.sock = connect_unix(path, ended)
        self.sent = 0

    def send(self, data):
        self.sock.sendall(data)
        self.sent += len(data)

    def close(self):
        self.sock.close()


def describe(arch):
    """The QEMU machine of arch in a few words, for the report."""
    board = MACHINES[arch]
    return "%s -M %s -cpu %s -smp %d -m %d" % (board["program"], board["machine"], board["cpu"],
                                               CPUS, board["memory_mb"])


class Machine:
    """One QEMU process on the overlay disk; start() boots it or restores a
    snapshot, kill() cuts the power.

    usb_root: the root file system's kernel argument (root=PARTUUID=...) when
    disk is a raw USB disk the board boots from, as a Raspberry Pi booted from
    USB; by default disk is the qcow2 overlay on the virtio disk, the card.
    clock: where the board's clock chip starts ("2000-01-01"), by default the
    host's time.
    cpus: the board's processors. icount: the guest's clock counts executed
    instructions, one nanosecond each (QEMU's -icount shift=0), so the
    processor time the guest reports for a process is its instruction count;
    QEMU then runs all processors in one thread, and the guest is slower.
    The saved states are made without it; a board with it boots."""

    def __init__(self, image_dir, run_dir, disk, usb_root=None, clock=None, cpus=CPUS,
                 icount=False):
        self.image = os.path.abspath(image_dir)
        self.arch = image.read_manifest(image_dir)["arch"]
        if self.arch not in MACHINES:
            raise BoardError("no machine for the image's architecture %r" % self.arch)
        self.dir = os.path.abspath(run_dir)  # QEMU's working folder
        self.disk = os.path.abspath(disk)
        self.usb_root = usb_root
        self.clock = clock
        self.cpus = cpus
        self.icount = icount
        self.process = None
        self.qmp = self.shell = self.radar = self.console = None
        self.boot_started = None

    def path(self, name):
        return os.path.join(self.dir, name)

    def _root_disk(self):
        """The disk's drive and device, and the kernel's root argument. Every
        write QEMU completes is in the image file: the disk keeps what it
        acknowledged, and a power cut loses what the guest held in memory."""
        if self.usb_root:
            return (["-drive", "if=none,id=root,format=raw,cache=writethrough,file=" + self.disk,
                     "-device", "usb-storage,bus=xhci.0,drive=root"], self.usb_root)
        return (["-drive", "if=none,id=root,format=qcow2,cache=writethrough,file=" + self.disk,
                 "-device", "virtio-blk-device,drive=root"], "root=/dev/vda")

    def command_line(self, loadvm=None):
        disk, root = self._root_disk()
        board = MACHINES[self.arch]
        accel = ["-accel", "tcg", "-icount", "shift=0"] if self.icount else [
            "-accel", "tcg,thread=multi"]
        argv = [board["program"], "-M", board["machine"], "-cpu", board["cpu"],
                "-smp", str(self.cpus), "-m", str(board["memory_mb"])] + accel + [
                "-nodefaults", "-no-user-config", "-display", "none", "-nic", "none",
                "-kernel", os.path.join(self.image, "vmlinuz"),
                "-initrd", os.path.join(self.image, "initrd.img"),
                "-append", "%s %s" % (root, KERNEL_ARGS),
                "-device", "qemu-xhci,id=xhci"] + disk + [
                "-device", "virtio-rng-device",
                "-chardev", "socket,id=radar,server=on,wait=off,path=" + RADAR_SOCKET,
                "-serial", "chardev:radar",
                "-chardev", "pipe,id=console,path=%s,logfile=%s,logappend=on"
                % (self.path("console"), self.path("console.log")),
                "-device", "virtio-serial-device", "-device", "virtconsole,chardev=console",
                "-qmp", "unix:%s,server=on,wait=off" % QMP_SOCKET]
        if self.clock:
            argv += ["-rtc", "base=" + self.clock]
        if loadvm:
            argv += ["-loadvm", loadvm]
        return argv

    def start(self, loadvm=None, shell=True):
        for name in (RADAR_SOCKET, QMP_SOCKET):
            if os.path.exists(self.path(name)):
                os.remove(self.path(name))
        self.console = make_console(self.path("console"))
        with open(self.path("qemu.log"), "ab") as log:
            self.boot_started = time.monotonic()
            self.process = subprocess.Popen(self.command_line(loadvm), cwd=self.dir,
                                            stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.qmp = Qmp(self._socket(QMP_SOCKET), self._ended)
        self.radar = Radar(self._socket(RADAR_SOCKET), self._ended)
        self.shell = Shell(self.console, self.path("console")) if shell else None

    def _socket(self, name):
        return "/proc/%d/cwd/%s" % (self.process.pid, name)

    def _ended(self):
        """Why QEMU will not answer (it ended, and what it logged last), or None."""
        status = self.process.poll()
        if status is None:
            return None
        with open(self.path("qemu.log"), errors="replace") as log:
            last = log.read()[-2000:].strip()
        return "QEMU ended (exit status %d): %s" % (status, last)

    def wait_booted(self, timeout=600):
        """Seconds from power on (or reset) until the console's shell answers.
        Alone, a restart after an export takes 60 to 190 s under TCG; on a
        loaded 2-core host up to 260 s was seen, and 300 s was passed."""
        try:
            self.shell.wait_login(timeout)
        except BoardError as error:
            raise BoardError("%s\nQEMU then: %s" % (error, self.cpu_state())) from None
        return time.monotonic() - self.boot_started

    def cpu_state(self):
        """QEMU's run state and the registers of the first processor, to tell a
        hung guest (the same place every time, or a halted one) from a slow one."""
        try:
            status = self.qmp.command("query-status", timeout=10)["status"]
            registers = self.qmp.command("human-monitor-command", timeout=10,
                                         **{"command-line": "info registers"})
        except BoardError as error:
            return "not known (%s)" % error
        return "%s; %s" % (status, " ".join(registers.split())[:400])

    def resume_shell(self, timeout=60):
        """The console's shell of a restored board: it waits where it was
        when the state was saved, already set up by wait_login."""
        self.shell = Shell(self.console, self.path("console"))
        self.shell.run("true", timeout)

    def wait_reset(self, timeout):
        """Waits for the guest to restart itself, then for its shell."""
        self.qmp.wait_event("RESET", timeout)
        self.boot_started = time.monotonic()
        return self.wait_booted()

    def plug_stick(self, image, name="stick"):
        self.qmp.command("blockdev-add", **{"node-name": name, "driver": "raw",
                                            "file": {"driver": "file",
                                                     "filename": os.path.abspath(image)}})
        self.qmp.command("device_add", driver="usb-storage", id=name, drive=name,
                         bus="xhci.0", removable=True)

    def pull_stick(self, name="stick"):
        self.qmp.command("device_del", id=name)
        # The stick's own event: its inner SCSI disk, which has no id, is
        # deleted first, and the drive is still in use until the stick is.
        self.qmp.wait_event("DEVICE_DELETED", 30, device=name)
        self.qmp.command("blockdev-del", **{"node-name": name})

    def throttle_stick(self, name="stick", rate=1):
        """Limits the stick's disk to rate bytes and rate requests a second
        (QEMU's I/O throttling); rate 0 lifts the limits, and what they held
        back goes on at once. At 1 the stick answers one more request, then
        none for an hour: a stick that stopped answering."""
        devices = [block["qdev"] for block in self.qmp.command("query-block")
                   if block.get("inserted", {}).get("node-name") == name]
        if not devices:
            raise BoardError("no stick %s is plugged in" % name)
        self.qmp.command("block_set_io_throttle", id=devices[0], bps=rate, bps_rd=0, bps_wr=0,
                         iops=rate, iops_rd=0, iops_wr=0)

    def _close_links(self):
        for link in (self.qmp, self.shell, self.radar):
            if link:
                link.close()
        self.qmp = self.shell = self.radar = None

    def kill(self):
        """Cuts the power: the guest's memory is gone, the disk keeps what QEMU wrote."""
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait()
        self._close_links()
        self.process = None

    def power_off(self, timeout=120):
        """Shuts the guest down as a person does, and QEMU ends with it; pulls
        the plug if that takes longer than timeout seconds."""
        if self.process and self.process.poll() is None and self.shell:
            try:
                self.shell.send(b"systemctl poweroff\n")
                self.process.wait(timeout)
            except (OSError, subprocess.TimeoutExpired):
                pass
        self.kill()

    def quit(self):
        if self.process and self.process.poll() is None:
            try:
                self.qmp.command("quit")
                self.process.wait(30)
            except (BoardError, OSError, subprocess.TimeoutExpired):
                pass
        self.kill()


def new_overlay(base, path, base_format="raw"):
    """A qcow2 disk whose reads come from base (by default the cached image)
    and whose writes stay in it; it holds the snapshots too."""
    if os.path.exists(path):
        os.remove(path)
    subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", base_format, "-b", base,
                    path], check=True)
