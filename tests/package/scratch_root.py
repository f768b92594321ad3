"""A scratch copy of the machine's root for installing the package.

The machine's root file system is the lower layer of an overlay whose upper
layer is a temporary folder, so everything dpkg and the maintainer scripts
write (/usr, /etc, /var/lib/dpkg, /home/pi, /media/pi) lands there. The
overlay is mounted in this process's own mount namespace (see conftest.py),
commands run in it inside bubblewrap with a private /dev, /run and /tmp, and
nothing reaches the machine itself.
"""
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

from sandbox.bwrap import SYSTEM_PATH, Bwrap

TIMEOUT = 120


class ScratchRoot:
    def __init__(self):
        self.folder = Path(tempfile.mkdtemp(prefix="kestrel-package-"))
        self.upper = self.folder / "upper"
        self.merged = self.folder / "merged"
        for folder in (self.upper, self.folder / "work", self.merged):
            folder.mkdir()
        options = "lowerdir=/,upperdir=%s,workdir=%s" % (self.upper, self.folder / "work")
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o", options, str(self.merged)],
                       check=True, timeout=TIMEOUT)

    def path(self, inside):
        """Host path of a path inside the scratch root."""
        return self.merged / str(inside).lstrip("/")

    def run(self, argv, binds=(), check=True):
        """Runs argv as root inside the scratch root; binds: (host path, path inside) pairs."""
        box = Bwrap(self.merged, writable_root=True).tmpfs("/run", "/tmp")
        for host, inside in binds:
            box.ro_bind(host, inside)
        box.setenv(PATH=SYSTEM_PATH, DEBIAN_FRONTEND="noninteractive")
        result = subprocess.run(box.command(argv), capture_output=True, text=True,
                                timeout=TIMEOUT)
        if check and result.returncode != 0:
            raise AssertionError("%s failed (%d):\n%s%s" % (argv, result.returncode,
                                                            result.stdout, result.stderr))
        return result

    def dpkg(self, *args, deb=None):
        binds = [(deb, "/run/kestrel.deb")] if deb else []
        return self.run(["dpkg"] + list(args) + (["/run/kestrel.deb"] if deb else []), binds)

    def owner(self, inside):
        """(user, group) of a path, named as the scratch root's passwd and group files say."""
        status = os.lstat(self.path(inside))
        users = {int(entry[2]): entry[0] for entry in self._entries("/etc/passwd")}
        groups = {int(entry[2]): entry[0] for entry in self._entries("/etc/group")}
        return users.get(status.st_uid), groups.get(status.st_gid)

    def _entries(self, inside):
        return [line.split(":") for line in self.path(inside).read_text().splitlines() if line]

    def close(self):
        subprocess.run(["umount", str(self.merged)], check=True, timeout=TIMEOUT)
        shutil.rmtree(self.folder)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
