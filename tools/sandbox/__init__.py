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

The parts: base.py (places, limits, configuration), bwrap.py (the command
line), radar.py (the pty), recording.py (what the fakes recorded), sticks.py
(/media/pi and the sticks), files.py (reading files back); this file starts,
watches and ends a run.
"""
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from waiting import StreamReader, read_for, running, wait_until

from .base import (DEFAULT_CONFIG, FAKES, INSIDE, MISSING, PROGRAM, PYTHON, REPO_ROOT,  # noqa: F401
                   SERIAL_INSIDE, START_SETTLE, START_TIMEOUT, STICKS_INSIDE, TAGSHEETS_INSIDE,
                   TIME_ZONE, TIMEOUT, SandboxError, interpreter_command, module_path)
from .bwrap import HIDDEN_BY_TMPFS, SYSTEM_PATH, Bwrap
from .files import Link, as_bytes  # noqa: F401
from .radar import PtyRadar
from .recording import Recordings
from .sticks import Sticks


class Sandbox(PtyRadar, Recordings, Sticks):
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
            path.write_bytes(as_bytes(content))

    def _environment(self):
        env = {
            "PATH": INSIDE + "/bin:" + SYSTEM_PATH,
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
        box = Bwrap(self.system_root).hide(*HIDDEN_BY_TMPFS, keep=[REPO_ROOT])
        box.bind(self.home, "/home/pi")
        for mount, paths in ((box.ro_bind, self.read_only), (box.bind, self.writable)):
            for path in paths:
                mount(self.home / os.path.relpath(path, "/home/pi"), path)
        if self.tagsheets_size:
            box.tmpfs(TAGSHEETS_INSIDE, size=self.tagsheets_size)
        if self.media_present:
            box.bind(self.media, "/media/pi")
        box.ro_bind(self.bin, INSIDE + "/bin").ro_bind(self.py, INSIDE + "/py")
        box.bind(self.log, INSIDE + "/log").bind(self.work, INSIDE + "/work")
        box.dev_bind(self.slave_path, SERIAL_INSIDE)
        return box.setenv(**self._environment()).command(command, chdir=INSIDE + "/work",
                                                         info_fd=info_fd)

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
