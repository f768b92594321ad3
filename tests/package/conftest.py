"""The package tests mount scratch roots; this moves the test process into a
mount namespace of its own first, so no mount is ever seen by the machine."""
import ctypes
import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path.insert(0, str(HERE))

CLONE_NEWNS = 0x00020000
MS_REC = 0x4000
MS_PRIVATE = 1 << 18


def _own_mount_namespace():
    libc = ctypes.CDLL(None, use_errno=True)
    if threading.active_count() != 1:
        raise RuntimeError("cannot leave the machine's mount namespace with threads running")
    if libc.unshare(CLONE_NEWNS) != 0 or libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None):
        error = ctypes.get_errno()
        raise OSError(error, "own mount namespace: " + os.strerror(error))


_own_mount_namespace()


@pytest.fixture(scope="session")
def deb():
    """The amd64 package that scripts/build-package built."""
    arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                          check=True).stdout.strip()
    found = sorted((REPO / "build" / "package" / arch).glob("kestrel_*_%s.deb" % arch))
    if not found:
        pytest.fail("no package: build it with scripts/build-package", pytrace=False)
    return found[-1]
