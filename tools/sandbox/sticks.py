"""/media/pi in the sandbox: left-over folders, tmpfs "sticks" mounted in the
sandbox's own mount namespace (never on the machine), what landed on them, the
tagsheet tree, and commands run inside as root."""
import os
import subprocess

from .base import STICKS_INSIDE, TIMEOUT, SandboxError
from .files import as_bytes, check_entry_name, files_at, unescape_mountinfo


class Sticks:
    """The /media/pi side of a Sandbox (which gives pid1, media and log)."""

    def inside(self, path):
        """Host path of a path as the running sandbox sees it."""
        return b"/proc/%d/root%s" % (self.pid1, as_bytes(path))

    def media_listing(self):
        """Entries of /media/pi in the order the program's listing returns them."""
        return os.listdir(bytes(self.media))

    def make_leftover_dir(self, name):
        """A plain directory under /media/pi, no stick mounted on it."""
        name = as_bytes(name)
        check_entry_name(name)
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
        mount_point = b"/media/pi/" + as_bytes(name)
        self.run_inside([b"mount", b"--bind", b"--", hidden, mount_point])
        return mount_point

    def _new_stick(self, name, size):
        """The hidden folder of a new tmpfs 'stick' for /media/pi/<name>."""
        name = as_bytes(name)
        check_entry_name(name)
        hidden = "%s/%d" % (STICKS_INSIDE, len(self._sticks))
        self.run_inside(["mkdir", "-p", hidden])
        self.run_inside(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", hidden])
        fd = os.open(self.inside(hidden.encode()), os.O_RDONLY | os.O_DIRECTORY)
        self._sticks[name] = (len(self._sticks), fd)
        return hidden.encode()

    def stick_files(self, name):
        """{relative path: content} of every file on the stick, mounted or not."""
        _, stick_fd = self._sticks[as_bytes(name)]
        return files_at(stick_fd)

    def tagsheet_files(self):
        """{relative path: content} of every file in the tagsheet tree (tmpfs or host folder)."""
        if self._tagsheets_fd is not None:
            return files_at(self._tagsheets_fd)
        fd = os.open(self.tagsheets_dir, os.O_RDONLY | os.O_DIRECTORY)
        try:
            return files_at(fd)
        finally:
            os.close(fd)

    def is_mounted(self, path):
        """Whether something is mounted on path (as the sandbox sees it)."""
        path = as_bytes(path)
        with open("/proc/%d/mountinfo" % self.pid1, "rb") as mountinfo:
            return any(unescape_mountinfo(line.split(b" ")[4]) == path for line in mountinfo)

    def run_inside(self, argv):
        """Run a command (argv list) as root in the sandbox's mount and pid namespaces
        (the pid namespace gives it the sandbox's /proc/self, which umount -l reads),
        and in its root: where this process is in a chroot, the mount namespace's
        own root is the machine's, not the sandbox's."""
        command = ["nsenter", "-t", str(self.pid1), "-m", "-p", "-r", "--"] + argv
        result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
        if result.returncode != 0:
            raise SandboxError("%r failed: %s" % (argv, result.stderr.decode(errors="replace")))
