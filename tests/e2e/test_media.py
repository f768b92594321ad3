"""The listing of /media/pi that every byte takes, kept between changes: each
case changes /media/pi behind the program's back and checks that the byte
that follows acted on what a fresh listing gives then."""
import os

import pytest

import radar_sim
from sandbox import INSIDE
from steps import export_argv

FRAME = radar_sim.encode_frame(500)  # 5.00, outside the window: a line and buzzer_off
OTHER = radar_sim.encode_frame(510)
FRAME_END = bytes([radar_sim.FRAME_END])


def fresh_listing(box):
    """/media/pi as the sandbox sees it now, in directory order; None when it cannot be listed."""
    try:
        return os.listdir(box.inside(b"/media/pi"))
    except FileNotFoundError:
        return None


def distances(box):
    return [line for line in box.console() if line.startswith(b"Distance of object:")]


def the_byte_found(box, listing, lines):
    """After a byte that ends a frame was sent (`lines` distance lines before
    it): it ran the end path for the first name listed, or it went to the
    frames and its frame was evaluated."""
    if listing:
        box.wait_for_sudo(b"reboot", timeout=15)
        assert box.sudo_log()[3] == export_argv(b"/media/pi/" + listing[0])[0]
    else:
        box.wait_for_console(b"Distance of object:", count=lines + 1)
        assert [argv[0] for argv in box.sudo_log()] == [b"find", b"mkdir", b"chmod"]


def send_and_check(box, data):
    """Sends bytes that end a frame, and checks the last against a fresh listing."""
    listing, lines = fresh_listing(box), len(distances(box))
    box.send(data)
    the_byte_found(box, listing, lines)


class Gate:
    """Holds the program in its buzzer calls, which come after a frame's last byte."""

    def __init__(self, box):
        fifo = box.log / "gate"
        os.mkfifo(fifo)
        self.fd = os.open(fifo, os.O_RDWR)
        box.env["KESTREL_BUZZER_GATE"] = INSIDE + "/log/gate"

    def let_through(self, calls=1):
        os.write(self.fd, b"x" * calls)

    def open(self):
        """Lets every call through; the FIFO stays open, or a call would wait for a writer."""
        self.let_through(1000)

    def close(self):
        os.close(self.fd)


def elsewhere(box, name):
    """A folder beside /media/pi on the same file system, to be renamed in."""
    path = box.root / name
    path.mkdir()
    return path


CHANGES = {
    "folder made": lambda box: box.make_leftover_dir("STICK"),
    "stick mounted on its new folder": lambda box: box.insert_stick("STICK"),
    "folder renamed in": lambda box: os.rename(elsewhere(box, "x"), box.media / "STICK"),
    "folder renamed in and out": lambda box: (os.rename(elsewhere(box, "x"), box.media / "IN"),
                                              os.rename(box.media / "IN", box.root / "out")),
    "two folders made, one removed": lambda box: (box.make_leftover_dir("A"),
                                                  box.make_leftover_dir("B"),
                                                  os.rmdir(box.media / "A")),
}


@pytest.mark.parametrize("change", CHANGES)
def test_a_change_between_two_bytes_of_one_read_is_seen_at_the_second(sandbox, change):
    gate = Gate(sandbox)
    try:
        sandbox.start()
        sandbox.send(FRAME)
        sandbox.wait_for_console(b"Distance of object:5.00")  # held in its buzzer_off
        sandbox.send(OTHER + FRAME_END)
        sandbox.wait_until(lambda: sandbox.waiting_bytes() == 14, what="the bytes queued")
        gate.let_through()
        sandbox.wait_for_console(b"Distance of object:5.10")  # held again, the frame end unused
        assert sandbox.waiting_bytes() == 0, "both frames' bytes came in one read"
        CHANGES[change](sandbox)
        listing = fresh_listing(sandbox)
        gate.open()
        # The frame end alone evaluates the same frame again, unless it ran the end path.
        the_byte_found(sandbox, listing, lines=2)
        assert distances(sandbox).count(b"Distance of object:5.10") == (1 if listing else 2)
    finally:
        gate.open()
        sandbox.kill()
        gate.close()


def test_media_removed_from_outside_a_bind_mount_fails_as_a_listing_does(sandbox):
    # The sandbox's /media/pi is a bind mount of a host folder: removed there,
    # it is a dead folder here, with no event in the sandbox's folders. Its
    # listing fails with ENOENT (which glibc's readdir, and so os.listdir,
    # takes for the end of the folder).
    sandbox.start()
    sandbox.send(FRAME)
    sandbox.wait_for_console(b"Distance of object:5.00")
    os.rmdir(sandbox.media)
    sandbox.send(FRAME)
    assert sandbox.wait_exit() == 1
    assert sandbox.stderr()[-1] == (  # as with a fresh listing
        b"FileNotFoundError: [Errno 2] No such file or directory: '/media/pi'")
    assert len(distances(sandbox)) == 1


REPLACEMENTS = {
    # /media/pi is the sandbox's bind mount: taken off, the folder under it is
    # removed and made again, or another folder renamed over it.
    "removed and made again": [["umount", "/media/pi"], ["rmdir", "/media/pi"],
                               ["mkdir", "/media/pi"]],
    "renamed over": [["mkdir", "-p", "/media/new/STICK"], ["umount", "/media/pi"],
                     ["mv", "-T", "/media/new", "/media/pi"]],
    "a folder mounted over it": [["mkdir", "-p", "/run/cover/STICK"],
                                 ["mount", "--bind", "/run/cover", "/media/pi"]],
}


@pytest.mark.parametrize("replacement", REPLACEMENTS)
def test_media_replaced_is_listed_anew_and_watched(sandbox, replacement):
    sandbox.start()
    send_and_check(sandbox, FRAME)
    for argv in REPLACEMENTS[replacement]:
        sandbox.run_inside(argv)
    if not fresh_listing(sandbox):
        send_and_check(sandbox, FRAME)
        sandbox.run_inside(["mkdir", "/media/pi/LATER"])  # in the new folder
    assert fresh_listing(sandbox) in ([b"STICK"], [b"LATER"])
    send_and_check(sandbox, FRAME_END)


def test_what_a_mount_over_media_hides_and_its_unmount_shows(sandbox):
    # The cover is a bind mount of a folder whose file system stays: taking
    # it off sends no inotify event at all, only the mount table tells.
    sandbox.start()
    sandbox.run_inside(["mkdir", "/run/cover"])
    sandbox.run_inside(["mount", "--bind", "/run/cover", "/media/pi"])
    (sandbox.media / "UNDER").mkdir()  # in the host folder, under the cover
    assert fresh_listing(sandbox) == []
    send_and_check(sandbox, FRAME)
    sandbox.run_inside(["umount", "/media/pi"])
    assert fresh_listing(sandbox) == [b"UNDER"]
    send_and_check(sandbox, FRAME_END)


def test_a_lost_event_is_listed_anew(sandbox):
    # Entries beside /media/pi fill the watch's queue (16384 events by
    # default), so the event of the stick that follows is lost; only the
    # overflow tells.
    with open("/proc/sys/fs/inotify/max_queued_events") as limit_file:
        limit = int(limit_file.read())
    if limit > 100000:
        pytest.skip("queue limit %d" % limit)
    sandbox.start()
    send_and_check(sandbox, FRAME)
    sandbox.run_inside(["sh", "-c", 'i=0; while [ $i -le %d ]; do : >/media/f$i; i=$((i+1)); done'
                        % limit])
    sandbox.make_leftover_dir("STICK")
    assert fresh_listing(sandbox) == [b"STICK"]
    send_and_check(sandbox, FRAME_END)
