"""Runs the built kestrel module end to end inside a bubblewrap sandbox: the
end-to-end and package tests, the demo and the benchmark use it.

The sandbox sees the machine's root read-only, a private /dev with
/dev/serial0 bound to the slave of a pseudo-terminal, tmpfs over /home,
/media, /run and /tmp, and these host folders of a temporary directory:

    home/   -> /home/pi            (Configuration/ with the four files, Tagsheets/)
    media/  -> /media/pi           (unless media=False: then /media/pi is missing)
    bin/    -> /run/kestrel/bin    (the recording sudo, first on PATH)
    py/     -> /run/kestrel/py     (PYTHONPATH: test buzzer.py and kestrel.abi3.so)
    log/    -> /run/kestrel/log    (sudo.log, buzzer.log)
    work/   -> /run/kestrel/work   (the program's working directory)

A repository that lies below one of those tmpfs folders (a clone in /tmp) is
bound back read-only at its own path, so an interpreter unpacked into it
(KESTREL_PYTHON) still runs.

Radar bytes go in through the pty master; stdout and stderr are captured.
A USB stick is a size-limited tmpfs mounted inside the sandbox's mount
namespace, so nothing is ever mounted on the machine itself.

Must run as root (bwrap keeps its capabilities so mount and umount work inside).
"""
import fcntl
import json
import os
import re
import select
import shlex
import shutil
import signal
import stat
import struct
import subprocess
import tempfile
import termios
import time
import tty
from pathlib import Path

from waiting import StreamReader, read_for, running, wait_until

REPO_ROOT = Path(__file__).resolve().parents[2]
HIDDEN_BY_TMPFS = ("/tmp", "/run", "/home", "/media")
FAKES = Path(__file__).resolve().parent / "fakes"
PYTHON = "/usr/bin/python3"
PROGRAM = "import kestrel"
TIME_ZONE = "CET-1CEST,M3.5.0,M10.5.0/3"
INSIDE = "/run/kestrel"
STICKS_INSIDE = "/run/sticks"
SERIAL_INSIDE = "/dev/serial0"
TAGSHEETS_INSIDE = "/home/pi/Configuration/Tagsheets"

# Waits are for conditions, so a long limit costs a passing test nothing. It
# is long because scripts/test runs the suites beside an emulated board,
# whose disk writes can hold the program's fdatasync for seconds.
START_TIMEOUT = 20.0
TIMEOUT = 20.0
START_SETTLE = 0.3

MISSING = object()  # config value: do not create the file
DEFAULT_CONFIG = {
    "range_high.txt": "3\n",
    "range_low.txt": "1\n",
    "current_time.txt": " ",
    "Serial.txt": "SN-0042\n",
}


class SandboxError(Exception):
    """The sandbox or the program in it did not do what a wait expected."""


def interpreter_command():
    """The argv that runs Python: $KESTREL_PYTHON split like a shell would, or /usr/bin/python3.

    For example "qemu-arm-static -L ROOT ROOT/usr/bin/python3.11" runs an armhf
    interpreter unpacked into ROOT.
    """
    return shlex.split(os.environ.get("KESTREL_PYTHON", "")) or [PYTHON]


def module_path():
    """The built module: $KESTREL_MODULE (relative to the repo root) or build/kestrel.abi3.so."""
    return REPO_ROOT / os.environ.get("KESTREL_MODULE", "build/kestrel.abi3.so")


def _as_bytes(text):
    return text if isinstance(text, bytes) else os.fsencode(text)


def _check_entry_name(name):
    if not name or b"/" in name or name in (b".", b".."):
        raise ValueError("not a single directory name: %r" % name)


def _unescape_mountinfo(field):
    """Mount points in mountinfo escape blank, tab, newline and backslash as \\ooo."""
    return re.sub(rb"\\([0-7]{3})", lambda m: bytes([int(m.group(1), 8)]), field)


class Link(bytes):
    """A symbolic link among the files, by its target."""


def _files_at(dir_fd):
    """{relative path: content} of every file below an open directory; a symbolic
    link as a Link to its target, never followed."""
    files = {}
    for folder, _, names, folder_fd in os.fwalk(b".", dir_fd=dir_fd):
        for file_name in names:
            path = os.fsdecode(os.path.normpath(os.path.join(folder, file_name)))
            if stat.S_ISLNK(os.stat(file_name, dir_fd=folder_fd, follow_symlinks=False).st_mode):
                files[path] = Link(os.readlink(file_name, dir_fd=folder_fd))
                continue
            fd = os.open(file_name, os.O_RDONLY | os.O_NOFOLLOW, dir_fd=folder_fd)
            with open(fd, "rb") as file:
                files[path] = file.read()
    return files


class Sandbox:
    """One run of the program in a fresh sandbox. Use as a context manager.

    Before start() the host folders can be changed freely: set_config(),
    self.config_dir, self.tagsheets_dir, self.work, make_leftover_dir(), and
    self.env (extra environment, e.g. KESTREL_BUZZER_FAIL="off").
    tee: a binary file that gets a live copy of the program's stdout and stderr.
    interpreter: the argv that runs Python (default: interpreter_command()).
    system_root: the folder the sandbox sees read-only as "/" (default: the
    machine's root), such as one where the package is installed.
    module=False: copy no kestrel module in, so the one under system_root runs.
    tagsheets_size: the tagsheet tree is a tmpfs of that many bytes instead of
    the host folder (read it with tagsheet_files(), also after the run).
    read_only / writable: paths under /home/pi the sandbox sees read-only, and
    paths below those that stay writable.
    """

    def __init__(self, config=None, media=True, tagsheets=True, env=None, module=None, tee=None,
                 interpreter=None, system_root="/", tagsheets_size=None, read_only=(), writable=()):
        self.root = Path(tempfile.mkdtemp(prefix="kestrel-e2e-"))
        self.home = self.root / "home"
        self.config_dir = self.home / "Configuration"
        self.tagsheets_dir = self.config_dir / "Tagsheets"
        self.media = self.root / "media"
        self.work = self.root / "work"
        self.bin = self.root / "bin"
        self.py = self.root / "py"
        self.log = self.root / "log"
        self.media_present = media
        self.tagsheets_size = tagsheets_size
        self.read_only, self.writable = list(read_only), list(writable)
        self._tagsheets_fd = None
        self.env = dict(env or {})
        self.module = module_path() if module is None else module and Path(module)
        self.interpreter = list(interpreter or interpreter_command())
        self.system_root = str(system_root)
        self.tee = tee
        self.proc = None
        self.pid1 = None
        self._stdout = self._stderr = None
        self._sticks = {}  # name -> (index, fd of the stick's root directory)
        self.master = self.slave = None
        try:
            self._open_pty()
            self._lay_out(config or {}, tagsheets)
        except BaseException:
            self.stop()
            raise

    # -- setup ---------------------------------------------------------

    def _open_pty(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.slave_path = os.ttyname(self.slave)

    def _lay_out(self, config, tagsheets):
        for folder in (self.config_dir, self.media, self.work, self.bin, self.py, self.log):
            folder.mkdir(parents=True)
        if tagsheets:
            self.tagsheets_dir.mkdir()
        shutil.copy(FAKES / "sudo", self.bin / "sudo")
        (self.bin / "sudo").chmod(0o755)
        shutil.copy(FAKES / "buzzer.py", self.py / "buzzer.py")
        for name, content in {**DEFAULT_CONFIG, **config}.items():
            self.set_config(name, content)

    def set_config(self, name, content):
        """Write Configuration/<name> (str or raw bytes), or remove it for MISSING."""
        path = self.config_dir / name
        if content is MISSING:
            path.unlink(missing_ok=True)
        else:
            path.write_bytes(_as_bytes(content))

    def _environment(self):
        env = {
            "PATH": INSIDE + "/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "PYTHONPATH": INSIDE + "/py",
            "PYTHONDONTWRITEBYTECODE": "1",
            "HOME": "/home/pi",
            "TZ": TIME_ZONE,
            "KESTREL_SUDO_LOG": INSIDE + "/log/sudo.log",
            "KESTREL_BUZZER_LOG": INSIDE + "/log/buzzer.log",
        }
        env.update(self.env)
        return env

    def _bwrap_argv(self, command, info_fd):
        argv = ["bwrap", "--ro-bind", self.system_root, "/", "--dev", "/dev", "--proc", "/proc"]
        for tmpfs in HIDDEN_BY_TMPFS:
            argv += ["--tmpfs", tmpfs]
        if any(REPO_ROOT.is_relative_to(folder) for folder in HIDDEN_BY_TMPFS):
            argv += ["--ro-bind", str(REPO_ROOT), str(REPO_ROOT)]
        argv += ["--bind", str(self.home), "/home/pi"]
        for flag, paths in (("--ro-bind", self.read_only), ("--bind", self.writable)):
            for path in paths:
                argv += [flag, str(self.home / os.path.relpath(path, "/home/pi")), path]
        if self.tagsheets_size:
            argv += ["--size", str(self.tagsheets_size), "--tmpfs", TAGSHEETS_INSIDE]
        if self.media_present:
            argv += ["--bind", str(self.media), "/media/pi"]
        argv += ["--ro-bind", str(self.bin), INSIDE + "/bin",
                 "--ro-bind", str(self.py), INSIDE + "/py",
                 "--bind", str(self.log), INSIDE + "/log",
                 "--bind", str(self.work), INSIDE + "/work",
                 "--dev-bind", self.slave_path, SERIAL_INSIDE,
                 "--unshare-pid", "--die-with-parent", "--cap-drop", "CAP_SYS_BOOT",
                 "--chdir", INSIDE + "/work", "--clearenv"]
        for name, value in self._environment().items():
            argv += ["--setenv", name, value]
        return argv + ["--info-fd", str(info_fd)] + command

    # -- running -------------------------------------------------------

    def launch(self, code=PROGRAM, command=None):
        """Start the program in the sandbox and return at once.

        command: an argv to run instead of the interpreter with -c code.
        """
        if self.proc is not None:
            raise SandboxError("already launched")
        if self.module and self.module.exists():
            shutil.copy(self.module, self.py / "kestrel.abi3.so")
        command = command or self.interpreter + ["-c", code]
        info_read, info_write = os.pipe()
        try:
            self.proc = subprocess.Popen(
                self._bwrap_argv(command, info_write), stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, pass_fds=(info_write,))
        finally:
            os.close(info_write)
        self._stdout = StreamReader(self.proc.stdout, self.tee, SandboxError)
        self._stderr = StreamReader(self.proc.stderr, self.tee, SandboxError)
        try:
            self.pid1 = self._read_info(info_read)["child-pid"]
        finally:
            os.close(info_read)
        self._wait_set_up()
        if self.tagsheets_size and self.running():
            # Holding the tmpfs open keeps it readable after the sandbox is gone.
            self._tagsheets_fd = os.open(self.inside(TAGSHEETS_INSIDE), os.O_RDONLY | os.O_DIRECTORY)

    def _wait_set_up(self):
        """bwrap reports its pid 1 before the mounts are in place; wait for them."""
        wait_until(lambda: self._serial_bound() or self.proc.poll() is not None, TIMEOUT,
                   error=SandboxError, message="sandbox not set up after %.1fs" % TIMEOUT)

    def _serial_bound(self):
        try:
            return os.stat(self.inside(SERIAL_INSIDE)).st_rdev == os.fstat(self.slave).st_rdev
        except FileNotFoundError:
            return False

    def _read_info(self, fd):
        data = read_for(fd, TIMEOUT)
        try:
            return json.loads(data)
        except ValueError:
            self._wait_quietly()
            raise SandboxError("bwrap gave no info: %r\n%s" % (data, self.stderr_bytes())) from None

    def start(self, wait=True, code=PROGRAM, ready="chmod", timeout=START_TIMEOUT, command=None):
        """Launch the program; with wait, return once it is past its start.

        ready="chmod": the permissions command of the start housekeeping was run;
        ready="serial": the program holds /dev/serial0 open (for a program
        without housekeeping). Then settle briefly, because opening the port
        flushes its input.
        """
        chmods_before = sum(argv[:1] == [b"chmod"] for argv in self.sudo_log())
        self.launch(code, command)
        if wait:
            if ready == "chmod":  # this run's own, also after a restart()
                self.wait_for_sudo(b"chmod", timeout, count=chmods_before + 1)
            elif ready == "serial":
                self.wait_until(self._serial_is_open, timeout, "/dev/serial0 to be opened")
            else:
                raise ValueError("unknown ready condition %r" % ready)
            time.sleep(START_SETTLE)
        return self

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_exit(self, timeout=TIMEOUT):
        """The program's exit status once it has ended."""
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise SandboxError("still running after %.1fs" % timeout) from None
        self._join_readers()
        return code

    def wait_until(self, condition, timeout=TIMEOUT, what="condition"):
        """What condition() returns once it is true, polled; fails early if the program has ended."""
        def ended():
            if self.running():
                return None
            self._join_readers()
            return ("program ended (status %s) before %s; stderr:\n%s"
                    % (self.proc and self.proc.returncode, what,
                       self.stderr_bytes()[-2000:].decode(errors="replace")))
        return wait_until(condition, timeout, what, error=SandboxError, ended=ended)

    def kill(self):
        """End the running program like a power cut (only the bwrap process started
        here); the host folders stay, so the program can be started again."""
        if self.proc is not None:
            if self.proc.poll() is None:
                self.proc.send_signal(signal.SIGKILL)
            self._wait_quietly()
            self._join_readers()
            self._wait_sandbox_gone()
        for _, fd in self._sticks.values():
            os.close(fd)
        self._sticks.clear()
        self.proc = self.pid1 = None
        self._stdout = self._stderr = None

    def restart(self, **start_options):
        """A new run on the same files: kill, then start again (sticks are gone)."""
        self.kill()
        return self.start(**start_options)

    def stop(self):
        """Kill the sandbox and remove its files."""
        self.kill()
        for fd in (self.master, self.slave, self._tagsheets_fd):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = self._tagsheets_fd = None
        shutil.rmtree(self.root, ignore_errors=True)

    def _wait_quietly(self):
        try:
            self.proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(TIMEOUT)

    def _wait_sandbox_gone(self):
        """The sandbox's pid 1 exits only after every process inside it has ended."""
        if self.pid1 is not None:
            wait_until(lambda: not running(self.pid1), TIMEOUT, error=None)

    def _join_readers(self):
        for reader in (self._stdout, self._stderr):
            if reader:
                reader.join(TIMEOUT)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    # -- radar link ----------------------------------------------------

    def send(self, data, timeout=TIMEOUT):
        """Write radar bytes into the pty master."""
        view = memoryview(bytes(data))
        deadline = time.monotonic() + timeout
        while view:
            remaining = deadline - time.monotonic()
            _, writable, _ = select.select([], [self.master], [], max(remaining, 0))
            if not writable:
                raise SandboxError("pty not writable for %.1fs (%d bytes left)" % (timeout, len(view)))
            view = view[os.write(self.master, view):]

    def unplug_radar(self):
        """Close the pty master: the radar's serial device is gone."""
        os.close(self.master)
        self.master = None

    def waiting_bytes(self):
        """Bytes in the serial line's input queue that the program has not read yet."""
        result = fcntl.ioctl(self.slave, termios.TIOCINQ, struct.pack("i", 0))
        return struct.unpack("i", result)[0]

    def wait_consumed(self, timeout=TIMEOUT, quiet_polls=5, settle=0.05):
        """Wait until the program has read everything sent (queue empty several polls in a row)."""
        empty_in_a_row = 0

        def quiet():
            nonlocal empty_in_a_row
            empty_in_a_row = empty_in_a_row + 1 if self.waiting_bytes() == 0 else 0
            return empty_in_a_row >= quiet_polls

        def ended():
            if empty_in_a_row == 0 and not self.running():
                return "program ended with %d bytes unread" % self.waiting_bytes()
            return None
        wait_until(quiet, timeout, error=SandboxError, ended=ended,
                   message=lambda: "%d bytes still unread after %.1fs" % (self.waiting_bytes(), timeout))
        time.sleep(settle)

    def pids(self):
        """Host pids of the processes inside the sandbox, its pid 1 included."""
        pid_ns = os.readlink("/proc/%d/ns/pid" % self.pid1)
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink("/proc/%s/ns/pid" % entry) == pid_ns:
                        yield int(entry)
                except OSError:
                    continue

    def _serial_is_open(self):
        device = os.fstat(self.slave).st_rdev
        for pid in self.pids():
            try:
                fds = os.listdir("/proc/%d/fd" % pid)
                if any(os.stat("/proc/%d/fd/%s" % (pid, fd)).st_rdev == device for fd in fds):
                    return True
            except OSError:
                continue
        return False

    # -- console -------------------------------------------------------

    def console_bytes(self):
        return self._stdout.text() if self._stdout else b""

    def stderr_bytes(self):
        return self._stderr.text() if self._stderr else b""

    def console(self):
        """Standard output as a list of lines without their line ends."""
        return self.console_bytes().splitlines()

    def stderr(self):
        """Standard error as a list of lines without their line ends."""
        return self.stderr_bytes().splitlines()

    def wait_for_console(self, pattern, timeout=TIMEOUT, count=1):
        """Wait until stdout holds count matches of the bytes regex; returns all matches."""
        return self._stdout.wait_for(pattern, count, timeout)

    def wait_for_stderr(self, pattern, timeout=TIMEOUT, count=1):
        return self._stderr.wait_for(pattern, count, timeout)

    # -- recorded commands and buzzer ----------------------------------

    def sudo_log(self):
        """Each command run through sudo, as a list of argument bytes."""
        return [[arg.encode("utf-8", "surrogateescape") for arg in json.loads(line)]
                for line in self._complete_lines("sudo.log")]

    def wait_for_sudo(self, command, timeout=TIMEOUT, count=1):
        """Wait until the command (first argument, bytes) was run count times."""
        def seen():
            return sum(argv[:1] == [command] for argv in self.sudo_log()) >= count
        self.wait_until(seen, timeout, "sudo %s (x%d)" % (command.decode(errors="replace"), count))

    def buzzer_log(self):
        """The buzzer calls so far: "blow" or "off" each."""
        return [line.decode() for line in self._complete_lines("buzzer.log")]

    def _complete_lines(self, log_name):
        """Lines of a log, leaving out a last line still being written."""
        path = self.log / log_name
        return path.read_bytes().split(b"\n")[:-1] if path.exists() else []

    # -- /media/pi -----------------------------------------------------

    def inside(self, path):
        """Host path of a path as the running sandbox sees it."""
        return b"/proc/%d/root%s" % (self.pid1, _as_bytes(path))

    def media_listing(self):
        """Entries of /media/pi in the order the program's listing returns them."""
        return os.listdir(bytes(self.media))

    def make_leftover_dir(self, name):
        """A plain directory under /media/pi, no stick mounted on it."""
        name = _as_bytes(name)
        _check_entry_name(name)
        if not self.media_present:
            raise SandboxError("this sandbox has no /media/pi")
        os.mkdir(bytes(self.media) + b"/" + name)
        return b"/media/pi/" + name

    def insert_stick(self, name, size="1m"):
        """Mount a tmpfs 'stick' of the given size on /media/pi/<name> inside the sandbox.

        The tmpfs lives on a hidden folder and is bind-mounted onto the mount
        point, so stick_files() still reads it after the program unmounted it.
        """
        hidden = self._new_stick(name, size)
        mount_point = self.make_leftover_dir(name)
        self.run_inside([b"mount", b"--bind", b"--", hidden, mount_point])
        return mount_point

    def mount_stick(self, name, size="1m"):
        """Mount a tmpfs 'stick' on the folder /media/pi/<name> that is there already,
        as the USB helper does after it made the folder."""
        hidden = self._new_stick(name, size)
        mount_point = b"/media/pi/" + _as_bytes(name)
        self.run_inside([b"mount", b"--bind", b"--", hidden, mount_point])
        return mount_point

    def _new_stick(self, name, size):
        """The hidden folder of a new tmpfs 'stick' for /media/pi/<name>."""
        name = _as_bytes(name)
        _check_entry_name(name)
        hidden = "%s/%d" % (STICKS_INSIDE, len(self._sticks))
        self.run_inside(["mkdir", "-p", hidden])
        self.run_inside(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", hidden])
        fd = os.open(self.inside(hidden.encode()), os.O_RDONLY | os.O_DIRECTORY)
        self._sticks[name] = (len(self._sticks), fd)
        return hidden.encode()

    def stick_files(self, name):
        """{relative path: content} of every file on the stick, mounted or not."""
        _, stick_fd = self._sticks[_as_bytes(name)]
        return _files_at(stick_fd)

    def tagsheet_files(self):
        """{relative path: content} of every file in the tagsheet tree (tmpfs or host folder)."""
        if self._tagsheets_fd is not None:
            return _files_at(self._tagsheets_fd)
        fd = os.open(self.tagsheets_dir, os.O_RDONLY | os.O_DIRECTORY)
        try:
            return _files_at(fd)
        finally:
            os.close(fd)

    def is_mounted(self, path):
        """Whether something is mounted on path (as the sandbox sees it)."""
        path = _as_bytes(path)
        with open("/proc/%d/mountinfo" % self.pid1, "rb") as mountinfo:
            return any(_unescape_mountinfo(line.split(b" ")[4]) == path for line in mountinfo)

    def run_inside(self, argv):
        """Run a command (argv list) as root in the sandbox's mount and pid namespaces
        (the pid namespace gives it the sandbox's /proc/self, which umount -l reads),
        and in its root: where this process is in a chroot, the mount namespace's
        own root is the machine's, not the sandbox's."""
        command = ["nsenter", "-t", str(self.pid1), "-m", "-p", "-r", "--"] + argv
        result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
        if result.returncode != 0:
            raise SandboxError("%r failed: %s" % (argv, result.stderr.decode(errors="replace")))
