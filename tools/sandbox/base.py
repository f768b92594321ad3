"""What every part of the sandbox shares: where things are inside it, its
limits, the default configuration and its error."""
import os
import shlex
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]
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
