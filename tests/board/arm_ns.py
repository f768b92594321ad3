"""Runs a command as root in a user and mount namespace of its own in which
the programs of an ARM architecture (armhf or arm64) run through qemu-user
(qemu-arm-static, qemu-aarch64-static).

The kernel gives every user namespace its own binfmt_misc (Linux 6.7 and
later), so registering the emulator there leaves the machine's own
registrations as they are, and nothing is left behind when the command ends. util-linux's
unshare maps only root, or asks /etc/subuid for more, while building a root
file system needs every user id, so the identity map is written here. On an
older kernel, or in a chroot (where no user namespace can be made),
machine_wide() registers the emulator for the machine instead, and leaves
binfmt_misc as it found it afterwards.
"""
import contextlib
import ctypes
import os
import re
import subprocess
import sys

CLONE_NEWNS = 0x00020000
CLONE_NEWUSER = 0x10000000
MS_REC = 0x4000
MS_PRIVATE = 1 << 18
BINFMT = "/proc/sys/fs/binfmt_misc"
# Debian's name of each architecture's qemu-user target.
QEMU_TARGETS = {"armhf": "arm", "arm64": "aarch64"}

libc = ctypes.CDLL(None, use_errno=True)


def check(result, what):
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, "%s: %s" % (what, os.strerror(error)))


def qemu_target(arch):
    try:
        return QEMU_TARGETS[arch]
    except KeyError:
        raise ValueError("no emulator for architecture %r (known: %s)"
                         % (arch, ", ".join(QEMU_TARGETS))) from None


def binfmt_rule(arch):
    """qemu-user's rule for arch (its name is the rule's first field) with the
    static emulator opened once at registration (F), so it runs inside a
    chroot too."""
    target = qemu_target(arch)
    with open("/usr/lib/binfmt.d/qemu-%s.conf" % target) as rule:
        fields = rule.read().strip().split(":")
    fields[-2] = "/usr/bin/qemu-%s-static" % target
    fields[-1] = "F"
    return ":".join(fields)


def enter_private_namespace(arch):
    """Moves this process into a new user and mount namespace that maps every
    id to itself, with a binfmt_misc of its own that runs arch's programs."""
    rule = binfmt_rule(arch)
    ready_r, ready_w = os.pipe()
    mapped_r, mapped_w = os.pipe()
    child = os.fork()
    if child == 0:  # the helper writes the id maps of its parent's namespace
        os.close(ready_w)
        os.close(mapped_r)
        parent = os.getppid()
        if os.read(ready_r, 1) == b"u":
            for name in ("uid_map", "gid_map"):
                with open("/proc/%d/%s" % (parent, name), "w") as ids:
                    ids.write("0 0 4294967295\n")
            os.write(mapped_w, b"m")
        os._exit(0)
    os.close(ready_r)
    os.close(mapped_w)
    try:
        check(libc.unshare(CLONE_NEWUSER | CLONE_NEWNS), "unshare")
        os.write(ready_w, b"u")
    finally:
        os.close(ready_w)
    ok = os.read(mapped_r, 1) == b"m"
    os.waitpid(child, 0)
    if not ok:
        raise OSError("could not map the user ids of the new namespace")
    check(libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None), "mount --make-rprivate /")
    check(libc.mount(b"binfmt_misc", BINFMT.encode(), b"binfmt_misc", 0, None),
          "mount binfmt_misc")
    with open(BINFMT + "/register", "w") as register:
        register.write(rule)


def may_make_user_namespace():
    """Whether a child of this process can enter a new user namespace: not in
    a chroot, for one."""
    child = os.fork()
    if child == 0:
        os._exit(0 if libc.unshare(CLONE_NEWUSER) == 0 else 1)
    return os.waitpid(child, 0)[1] == 0


def sandboxed_binfmt():
    """Whether this kernel gives each user namespace a binfmt_misc of its own,
    and this process may make one."""
    major, minor = re.match(r"(\d+)\.(\d+)", os.uname().release).groups()
    return (int(major), int(minor)) >= (6, 7) and may_make_user_namespace()


@contextlib.contextmanager
def machine_wide(arch):
    """arch's emulator registered in the machine's binfmt_misc while the block
    runs, unless it is there already; what was mounted or registered here is
    undone."""
    rule = binfmt_rule(arch)
    entry = os.path.join(BINFMT, rule.split(":")[1])
    mounted_here = not os.path.ismount(BINFMT)
    if mounted_here:
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], check=True)
    registered_here = not os.path.exists(entry)
    try:
        if registered_here:
            with open(BINFMT + "/register", "w") as register:
                register.write(rule)
        yield
    finally:
        if registered_here and os.path.exists(entry):
            with open(entry, "w") as registered:
                registered.write("-1")
        if mounted_here:
            subprocess.run(["umount", BINFMT], check=True)


def main(argv):
    if len(argv) < 3:
        sys.exit("usage: arm_ns.py ARCH COMMAND [ARG...]")
    enter_private_namespace(argv[1])
    os.execvp(argv[2], argv[2:])


if __name__ == "__main__":
    main(sys.argv)
