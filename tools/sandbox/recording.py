"""What the fakes recorded. A recording fake appends one line a call to a log
of the test's: the command it stands for and its arguments (the recording
sudo: the command it was asked to run) as a JSON list of strings, each
argument's bytes decoded as UTF-8 with surrogateescape (Python's own decoding
of argv), so every byte comes back with .encode("utf-8", "surrogateescape").
fakes/sudo records so, and so do the automounter's and the service's fakes."""
import json

from .base import TIMEOUT


def complete_lines(path):
    """Lines of a log, leaving out a last line still being written."""
    return path.read_bytes().split(b"\n")[:-1] if path.exists() else []


def calls(path):
    """Every call a recording fake logged in path, as a list of its arguments."""
    return [json.loads(line) for line in complete_lines(path)]


class Recordings:
    """The recording sudo's and the test buzzer's logs of a Sandbox."""

    def sudo_log(self):
        """Each command run through sudo, as a list of argument bytes."""
        return [[arg.encode("utf-8", "surrogateescape") for arg in argv]
                for argv in calls(self.log / "sudo.log")]

    def wait_for_sudo(self, command, timeout=TIMEOUT, count=1):
        """Wait until the command (first argument, bytes) was run count times."""
        def seen():
            return sum(argv[:1] == [command] for argv in self.sudo_log()) >= count
        self.wait_until(seen, timeout, "sudo %s (x%d)" % (command.decode(errors="replace"), count))

    def buzzer_log(self):
        """The buzzer calls so far: "blow" or "off" each."""
        return [line.decode() for line in complete_lines(self.log / "buzzer.log")]
