"""The status line of `systemctl status kestrel`: what the program tells the
service manager through NOTIFY_SOCKET, here a socket of the test's."""
import re
import socket
import time

import pytest

from steps import send_frames, today

NOTIFY_INSIDE = "/run/kestrel/log/notify"


@pytest.fixture
def manager(sandbox):
    """A datagram socket where systemd's would be; the sandbox names it in NOTIFY_SOCKET."""
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    listener.bind(str(sandbox.log / "notify"))
    sandbox.env["NOTIFY_SOCKET"] = NOTIFY_INSIDE
    yield listener
    listener.close()


def next_status(listener, pattern, timeout=8.0):
    """The first STATUS= line that matches, within the timeout; the time it took."""
    began = time.monotonic()
    seen = []
    while time.monotonic() - began < timeout:
        listener.settimeout(max(0.01, timeout - (time.monotonic() - began)))
        try:
            message = listener.recv(4096).decode()
        except socket.timeout:
            break
        assert message.startswith("STATUS=") and "\n" not in message, message
        seen.append(message[len("STATUS="):])
        if re.fullmatch(pattern, seen[-1]):
            return seen[-1], time.monotonic() - began
    raise AssertionError("no status like %r in %.0f s; saw %r" % (pattern, timeout, seen))


def test_the_status_line_follows_the_run(sandbox, manager):
    home_before = sorted(p for p in sandbox.home.rglob("*"))
    sandbox.start()
    start = r"running since %s \d\d:\d\d:\d\d; " % today()
    next_status(manager, start + r"0 frames, 0 detections; radar (sending|silent for \d s); "
                r"no export yet")
    send_frames(sandbox, 150, 400)
    line, _ = next_status(manager, start + r"2 frames, 1 detection, last at \d\d:\d\d:\d\d; "
                          r"radar (sending|silent for \d s); no export yet")
    # Every few seconds at most: the silence shows in the next one.
    line, took = next_status(manager, start + r"2 frames, 1 detection, last at .*; "
                             r"radar silent for [5-9] s; no export yet", timeout=12)
    sandbox.insert_stick("STICK")
    sandbox.send(b"\x00")
    next_status(manager, start + r".*; exporting to /media/pi/STICK")
    next_status(manager, start + r".*; export to /media/pi/STICK: 1 tagsheet copied")
    # Nothing of it on the card: the home folder holds what the run writes anyway.
    written = {p.relative_to(sandbox.home).as_posix() for p in sandbox.home.rglob("*")
               if p not in home_before}
    assert written == {"Configuration/Tagsheets/%s" % today(),
                       "Configuration/Tagsheets/%s/Non-Tag-%s.txt" % (today(), today())}
