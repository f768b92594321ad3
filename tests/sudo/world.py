"""A private mount namespace in which the package's sudo rule and programs
are checked with the real sudo, never the recording one.

The namespace has a copy of the machine's /etc with the drop-in
system/sudoers.d/kestrel and two accounts (pi, the logger's, and another
local account), kestrel's programs from the build at
/usr/libexec/kestrel/sudo (an overlay), and tmpfs over /home, /media, /root,
/run, /tmp and /var/lib/sudo, so nothing it does reaches the machine.
"sudo reboot" is never run in it: a mount namespace would not stop it.
"""
import os
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
from pathlib import Path

from waiting import wait_until

REPO = Path(__file__).resolve().parents[2]
DROP_IN = REPO / "system" / "sudoers.d" / "kestrel"
PROGRAMS = "/usr/libexec/kestrel/sudo"
PI, OTHER = 1500, 1501
TIMEOUT = 60
# The logger's own PATH (system/kestrel).
LOGGER_PATH = PROGRAMS + ":/usr/sbin:/usr/bin:/sbin:/bin"
TAGSHEETS = "/home/pi/Configuration/Tagsheets"
# sudo matches a rule's regular expressions in its caller's locale.
LOCALE = "LC_ALL=C.UTF-8"


class World:
    def __init__(self, build):
        self.folder = Path(tempfile.mkdtemp(prefix="kestrel-sudo-"))
        self._make_etc()
        # Its working folder is /, which the namespace has; commands entered
        # into it run there (nsenter -w), as the logger's do.
        self.holder = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "--", "sleep", "infinity"],
            cwd="/")
        try:
            self._wait_for_namespace()
            self._lay_out(Path(build) / "sudo")
        except BaseException:
            self.close()
            raise

    def _wait_for_namespace(self):
        """Until the holder runs sleep, in a mount namespace of its own whose
        mounts propagate nowhere: nothing may be mounted through it before, or
        it would land on the machine."""
        ours = os.readlink("/proc/self/ns/mnt")
        proc = "/proc/%d/" % self.holder.pid
        def in_own_namespace():
            if self.holder.poll() is not None:
                return False
            with open(proc + "comm") as comm:
                return comm.read().strip() == "sleep" and os.readlink(proc + "ns/mnt") != ours
        failed = "unshare made no mount namespace"
        wait_until(in_own_namespace, TIMEOUT, error=AssertionError, message=failed,
                   ended=lambda: self.holder.poll() is not None and failed)

    def _make_etc(self):
        etc = self.folder / "etc"
        subprocess.run(["cp", "-a", "/etc", str(etc)], check=True, timeout=TIMEOUT)
        # sudo looks its host's name up and complains when it cannot find it,
        # as on a machine whose /etc/hosts lacks it (a bare root, a container).
        host = socket.gethostname()
        with open(etc / "hosts", "a+") as hosts:
            hosts.seek(0)
            if host not in hosts.read().split():
                hosts.write("127.0.1.1\t%s\n" % host)
        for name, uid in (("pi", PI), ("other", OTHER)):
            with open(etc / "passwd", "a") as out:
                out.write("%s:x:%d:%d::/home/%s:/bin/sh\n" % (name, uid, uid, name))
            with open(etc / "group", "a") as out:
                out.write("%s:x:%d:\n" % (name, uid))
            with open(etc / "shadow", "a") as out:
                out.write("%s:*:20000:0:99999:7:::\n" % name)
        for name in os.listdir(etc / "sudoers.d"):
            if name != "README":
                os.remove(etc / "sudoers.d" / name)
        shutil.copy(DROP_IN, etc / "sudoers.d" / "kestrel")
        os.chmod(etc / "sudoers.d" / "kestrel", 0o440)

    def _lay_out(self, programs):
        upper, work = self.folder / "libexec", self.folder / "libexec.work"
        (upper / "kestrel" / "sudo").mkdir(parents=True)
        work.mkdir()
        for program in programs.iterdir():
            shutil.copy(program, upper / "kestrel" / "sudo" / program.name)
        self.root("mount --bind {etc} /etc && "
                  "mount -t overlay overlay -o lowerdir=/usr/libexec,upperdir={upper},workdir={work}"
                  " /usr/libexec && "
                  "for place in /home /media /root /run /tmp /var/lib/sudo; do"
                  "  mount -t tmpfs -o mode=0755 tmpfs $place; done && "
                  "install -d -o pi -g pi -m 0755 /home/pi /home/pi/Configuration {tagsheets} && "
                  "install -d -m 0755 /media/pi && install -d -o other -g other /home/other".format(
                      etc=shlex.quote(str(self.folder / "etc")), upper=shlex.quote(str(upper)),
                      work=shlex.quote(str(work)), tagsheets=TAGSHEETS))

    def _enter(self, argv, **kwargs):
        return subprocess.run(
            ["nsenter", "-t", str(self.holder.pid), "-m", "-r", "-w", "--"] + argv,
            capture_output=True, timeout=TIMEOUT, **kwargs)

    def root(self, script, check=True):
        """Runs a shell script as root in the namespace."""
        result = self._enter(["sh", "-c", script])
        if check and result.returncode != 0:
            raise AssertionError("%s failed: %s" % (script, result.stderr.decode(errors="replace")))
        return result

    def as_user(self, uid, script):
        """Runs a shell script (str or bytes) as the account uid, with the
        logger's PATH and a UTF-8 locale, as the logger's interpreter passes
        one on (it turns the C locale into C.UTF-8)."""
        return self._enter(["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--init-groups",
                            "env", "-i", "PATH=" + LOGGER_PATH, "HOME=/home/pi", LOCALE,
                            "sh", "-c", script])

    def as_pi(self, script):
        return self.as_user(PI, script)

    def allows(self, argv):
        """Whether the real rule lets pi run argv: sudo -l -U pi prints it and exits 0."""
        return self._enter(["env", LOCALE, "sudo", "-l", "-U", "pi", "--"] + argv).returncode == 0

    def insert_stick(self, name, size="1m"):
        """A tmpfs stick mounted at /media/pi/NAME for pi, as the automounters
        mount a FAT stick; also kept at /run/sticks/INDEX so its files can be
        read after it was unmounted, which is the place returned."""
        name = os.fsencode(name)
        index = len(self.root("ls /run/sticks 2>/dev/null; true").stdout.split())
        hidden = "/run/sticks/%d" % index
        self.root("mkdir -p %s && mount -t tmpfs -o size=%s,uid=%d,gid=%d,mode=0755 tmpfs %s"
                  % (hidden, size, PI, PI, hidden))
        where = b"/media/pi/" + name
        result = self._enter(["sh", "-c", 'mkdir -- "$1" && mount --bind -- "$2" "$1"', "sh",
                              where, hidden])
        assert result.returncode == 0, result.stderr
        return hidden

    def files(self, folder):
        """{relative path: content} below a folder of the namespace."""
        listing = self.root("cd %s && find . -type f -print0" % shlex.quote(folder)).stdout
        found = {}
        for path in filter(None, listing.split(b"\0")):
            found[path[2:]] = self._enter(["cat", "--", os.path.join(folder.encode(), path[2:])]
                                          ).stdout
        return found

    def stat(self, path):
        """(mode, uid) of a path of the namespace, links not followed."""
        out = self._enter(["stat", "-c", "%f %u", "--", path]).stdout.split()
        return int(out[0], 16), int(out[1])

    def exists(self, path):
        return self._enter(["test", "-e", path]).returncode == 0 or \
            self._enter(["test", "-L", path]).returncode == 0

    def close(self):
        if self.holder.poll() is None:
            self.holder.send_signal(signal.SIGKILL)
            self.holder.wait()
        shutil.rmtree(self.folder, ignore_errors=True)
