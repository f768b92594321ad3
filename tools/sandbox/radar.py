"""The radar's side of the sandbox: a pseudo-terminal in raw mode whose slave
is the program's /dev/serial0, and whose master the tests write frames into."""
import fcntl
import os
import select
import struct
import termios
import time
import tty

from waiting import wait_until

from .base import TIMEOUT, SandboxError


class PtyRadar:
    """The radar link of a Sandbox (which gives running() and pids())."""

    def _open_pty(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.slave_path = os.ttyname(self.slave)

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
