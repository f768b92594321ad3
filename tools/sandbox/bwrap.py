"""The bubblewrap command line, built a mount at a time, for every sandbox the
tests and tools make.

Every sandbox gets a private /dev and /proc, its own pid namespace, ends with
the process that made it and cannot restart the machine (CAP_SYS_BOOT is
dropped: as root, bwrap otherwise keeps every capability, so mount and umount
still work inside). Mounts are applied in the order they were added.
"""
import os
from pathlib import Path

# What the sandbox sees of the machine's root, as seen by every sandbox here.
HIDDEN_BY_TMPFS = ("/tmp", "/run", "/home", "/media")
SYSTEM_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"


class Bwrap:
    """root: the folder the sandbox sees as "/", read-only unless writable_root."""

    def __init__(self, root="/", writable_root=False):
        self.argv = ["bwrap", "--bind" if writable_root else "--ro-bind", str(root), "/",
                     "--dev", "/dev", "--proc", "/proc"]
        self.env = {}

    def tmpfs(self, *paths, size=None):
        for path in paths:
            self.argv += (["--size", str(size)] if size else []) + ["--tmpfs", str(path)]
        return self

    def hide(self, *folders, keep=()):
        """tmpfs over folders; a path of keep that lies below one of them (a clone
        of the repository in /tmp) is bound back read-only at its own path."""
        self.tmpfs(*folders)
        for path in keep:
            if any(Path(path).is_relative_to(folder) for folder in folders):
                self.ro_bind(path)
        return self

    def bind(self, host, inside=None):
        """host (a path of the machine) writable at inside (by default the same path)."""
        return self._mount("--bind", host, inside)

    def ro_bind(self, host, inside=None):
        return self._mount("--ro-bind", host, inside)

    def dev_bind(self, host, inside=None):
        return self._mount("--dev-bind", host, inside)

    def _mount(self, flag, host, inside):
        host = os.fspath(host)
        self.argv += [flag, host, host if inside is None else os.fspath(inside)]
        return self

    def setenv(self, **env):
        """Variables of the sandbox's environment, which holds nothing else."""
        self.env.update(env)
        return self

    def command(self, argv, chdir=None, info_fd=None):
        """The whole command line that runs argv in the sandbox."""
        options = ["--unshare-pid", "--die-with-parent", "--cap-drop", "CAP_SYS_BOOT"]
        if chdir:
            options += ["--chdir", chdir]
        options.append("--clearenv")
        for name, value in self.env.items():
            options += ["--setenv", name, value]
        if info_fd is not None:
            options += ["--info-fd", str(info_fd)]
        return self.argv + options + [os.fspath(arg) if isinstance(arg, os.PathLike) else arg
                                      for arg in argv]
