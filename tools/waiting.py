"""Waiting, the one way the tests and tools here do it: poll a condition until it
holds or a deadline passes, read a descriptor until it has given enough, and
collect what a pipe delivers in a thread of its own.

Waits are for conditions, so a generous limit costs a passing test nothing.
"""
import os
import re
import select
import threading
import time

POLL = 0.01


def wait_until(condition, timeout, what="condition", poll=POLL, error=TimeoutError,
               message=None, ended=None):
    """What condition() returns once it is true, polled every poll seconds.

    After timeout seconds raise error(message), message being a text or a
    callable that makes one, by default "timed out after Ns waiting for WHAT";
    with error=None return the last, false, result instead.
    ended: a callable polled beside the condition that returns why waiting is
    pointless (a program that ended) or a false value; once it gives a reason
    the condition is tried a last time, then error(reason) is raised, or the
    reason itself if it is an exception.
    """
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        reason = ended() if ended else None
        if reason:
            result = condition()
            if result:
                return result
            raise reason if isinstance(reason, BaseException) else error(reason)
        if time.monotonic() > deadline:
            if error is None:
                return result
            if message is None:
                message = "timed out after %.1fs waiting for %s" % (timeout, what)
            raise error(message() if callable(message) else message)
        time.sleep(poll)


def running(pid):
    """Whether a process runs (an ended one may linger as a zombie until it is reaped)."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as stat:
            return stat.read().rsplit(b")", 1)[1].split()[0] not in (b"Z", b"X")
    except OSError:
        return False


def read_for(fd, timeout, size=None):
    """The bytes a descriptor gives until its end, size bytes (if given) or timeout
    seconds, whichever comes first."""
    data = b""
    deadline = time.monotonic() + timeout
    while size is None or len(data) < size:
        if not select.select([fd], [], [], max(deadline - time.monotonic(), 0))[0]:
            break
        chunk = os.read(fd, 65536 if size is None else size - len(data))
        if not chunk:
            break
        data += chunk
    return data


class StreamReader:
    """Collects everything a pipe or socket delivers in a thread of its own;
    waiters are woken on every chunk. tee: a binary file that gets a live copy.
    A read that fails (a peer that reset the link) ends the stream as its end does.
    A non-blocking FIFO opened before its writer is read from once one has come."""

    def __init__(self, pipe, tee=None, error=TimeoutError):
        self.data = bytearray()
        self.tee = tee
        self.error = error
        self.closed = False
        self.changed = threading.Condition()
        self._thread = threading.Thread(target=self._run, args=(pipe,), daemon=True)
        self._thread.start()

    def _run(self, pipe):
        with pipe:
            for chunk in iter(lambda: _read_or_end(pipe), b""):
                with self.changed:
                    self.data += chunk
                    self.changed.notify_all()
                if self.tee:
                    self.tee.write(chunk)
                    self.tee.flush()
        with self.changed:
            self.closed = True
            self.changed.notify_all()

    def text(self):
        with self.changed:
            return bytes(self.data)

    def wait_for(self, pattern, count, timeout):
        """All matches of pattern once there are at least count, else self.error."""
        regex = re.compile(pattern)

        def enough():
            matches = list(regex.finditer(self.data))
            return matches if len(matches) >= count else None
        return self._wait(enough, timeout, "%d x %r" % (count, pattern))

    def wait_match(self, regex, timeout, start=0):
        """The first match of a compiled regex from offset start on, else self.error."""
        return self._wait(lambda: regex.search(self.data, start), timeout, repr(regex.pattern))

    def _wait(self, found, timeout, what):
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                result = found()
                if result:
                    return result
                remaining = deadline - time.monotonic()
                if self.closed or remaining <= 0:
                    reason = "stream closed" if self.closed else "timed out after %.1fs" % timeout
                    raise self.error("%s waiting for %s; got:\n%s"
                                     % (reason, what, bytes(self.data[-2000:])))
                self.changed.wait(remaining)

    def join(self, timeout):
        self._thread.join(timeout)


def _read_or_end(pipe):
    try:
        while True:
            select.select([pipe], [], [])
            try:
                return os.read(pipe.fileno(), 65536)
            except BlockingIOError:
                continue
    except OSError:
        return b""
