#!/usr/bin/python3
"""Debian's archive for an ARM architecture, without adding that architecture
to this machine: a private apt state under build/ARCH/apt that holds the
indexes of the three suites for ARCH alone. Every ARM root of the project is
made by mmdebstrap from those indexes, and the board's kernel is looked up and
fetched through them, so what one build uses is one consistent set.

A mirror can be mid-sync for one index for days ("File has unexpected size").
apt then leaves that suite out and reads the others: the set stays consistent,
it only lacks that suite's newer versions, and the failure is named in one
line. What is transient is tried again, a few times, bounded in time.

    arm_archive.py root ARCH    makes build/ARCH/root if it is missing or stale
                                and prints its folder
"""
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUITE = "bookworm"
MIRRORS = ["deb http://deb.debian.org/debian bookworm main",
           "deb http://deb.debian.org/debian bookworm-updates main",
           "deb http://deb.debian.org/debian-security bookworm-security main"]
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
TRIPLETS = {"armhf": "arm-linux-gnueabihf", "arm64": "aarch64-linux-gnu"}
UPDATE_TRIES = 3
UPDATE_SECONDS = 300
# Indexes fetched this recently are used as they are: the builds of one test
# run (the root, the package, the board image) then share one set.
FRESH_SECONDS = 3600
# The target's side of a cross build (its C and C++ libraries with their
# symbols, Python's headers), and the Python that runs the target's modules
# under qemu-user, with pyserial.
ROOT_PACKAGES = ["libc6-dev", "libstdc++-12-dev", "libpython3.11-dev", "python3.11",
                 "python3-serial"]


class ArchiveError(Exception):
    pass


class Archive:
    """The archive's indexes for one architecture, in a folder of their own."""

    def __init__(self, arch, folder):
        if arch not in TRIPLETS:
            raise ArchiveError("unknown architecture %r (known: %s)" % (arch, ", ".join(TRIPLETS)))
        self.arch = arch
        self.folder = os.path.abspath(folder)
        self.lists = os.path.join(self.folder, "lists")
        self.config = os.path.join(self.folder, "apt.conf")
        self.updated = False

    def _write_config(self):
        for sub in ("lists/partial", "cache/archives/partial"):
            os.makedirs(os.path.join(self.folder, sub), exist_ok=True)
        open(os.path.join(self.folder, "status"), "a").close()
        sources = os.path.join(self.folder, "sources.list")
        with open(sources, "w") as out:
            for line in MIRRORS:
                kind, rest = line.split(" ", 1)
                out.write("%s [signed-by=%s] %s\n" % (kind, KEYRING, rest))
        settings = {
            "APT::Architecture": self.arch,
            "Dir::State": self.folder,
            "Dir::State::Lists": self.lists,
            "Dir::State::status": os.path.join(self.folder, "status"),
            "Dir::Cache": os.path.join(self.folder, "cache"),
            "Dir::Etc::SourceList": sources,
            "Dir::Etc::SourceParts": "/nonexistent",
            "Dir::Etc::Preferences": "/nonexistent",
            "Dir::Etc::PreferencesParts": "/nonexistent",
            "Acquire::Retries": "3",
        }
        with open(self.config, "w") as out:
            for name, value in settings.items():
                out.write('%s "%s";\n' % (name, value))
            out.write('APT::Architectures { "%s"; };\n' % self.arch)

    def env(self):
        return dict(os.environ, APT_CONFIG=self.config, LC_ALL="C")

    def update(self):
        """Fetches the indexes. A suite whose index fails on every try is left
        out with a note; it is an error only when no suite could be read."""
        if self.updated or self._fresh():
            self.updated = True
            return
        self._write_config()
        deadline = time.monotonic() + UPDATE_SECONDS
        failures = []
        for attempt in range(UPDATE_TRIES):
            try:
                result = subprocess.run(["apt-get", "update", "-q"], env=self.env(),
                                        capture_output=True, text=True,
                                        timeout=max(1, deadline - time.monotonic()))
                failures = [line for line in (result.stdout + result.stderr).splitlines()
                            if line.startswith("E: Failed to fetch")]
                if result.returncode == 0 and not failures:
                    break
            except subprocess.TimeoutExpired:
                failures = ["E: apt-get update took more than %d s" % UPDATE_SECONDS]
                break
            pause = 5 * 3 ** attempt
            if attempt + 1 < UPDATE_TRIES and time.monotonic() + pause < deadline:
                time.sleep(pause)
        if not glob.glob(os.path.join(self.lists, "*_Packages*")):
            raise ArchiveError("no index of the archive could be read for %s:\n%s"
                               % (self.arch, "\n".join(failures)))
        for line in failures:
            print("%s indexes: left out after %d tries: %s" % (self.arch, UPDATE_TRIES, line[3:]),
                  file=sys.stderr)
        with open(self._stamp(), "w") as stamp:
            stamp.write("%d\n" % time.time())
        self.updated = True

    def _stamp(self):
        return os.path.join(self.folder, "updated")

    def _fresh(self):
        try:
            return time.time() - os.stat(self._stamp()).st_mtime < FRESH_SECONDS and \
                os.path.exists(self.config)
        except FileNotFoundError:
            return False

    def suites(self):
        """The suites whose indexes were read, as their Release files name them."""
        return sorted(os.path.basename(path)
                      for path in glob.glob(os.path.join(self.lists, "*Release")))

    def query(self, argv):
        result = subprocess.run(argv, env=self.env(), capture_output=True, text=True)
        if result.returncode != 0:
            raise ArchiveError("%s: %s" % (" ".join(argv), result.stderr.strip()))
        return result.stdout

    def candidate(self, package):
        """The version apt would install of a package, or None."""
        for line in self.query(["apt-cache", "policy", package]).splitlines():
            if line.strip().startswith("Candidate:"):
                version = line.split()[1]
                return None if version == "(none)" else version
        return None

    def depends(self, package):
        return [line.split(":", 1)[1].strip()
                for line in self.query(["apt-cache", "depends", package]).splitlines()
                if line.strip().startswith("Depends:")]

    def download(self, specs, folder):
        """apt-get download of PACKAGE=VERSION specs into folder."""
        result = subprocess.run(["apt-get", "download", "-q"] + specs, cwd=folder, env=self.env(),
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise ArchiveError("cannot download %s: %s" % (" ".join(specs),
                                                           result.stderr.strip()))

    def mmdebstrap(self, options, target):
        """The mmdebstrap command that builds target from these indexes."""
        copy = 'cp -a %s/*_Packages* %s/*Release "$1/var/lib/apt/lists/"' % (self.lists,
                                                                             self.lists)
        return (["mmdebstrap", "--arch=" + self.arch, "--skip=update", "--setup-hook=" + copy]
                + options + [SUITE, target] + MIRRORS)


def root_key(arch):
    digest = hashlib.sha256()
    digest.update(repr((arch, ROOT_PACKAGES, MIRRORS)).encode())
    with open(os.path.abspath(__file__), "rb") as source:
        digest.update(source.read())
    return digest.hexdigest()[:16]


# Gathers the symbols and shlibs files of every package of the root into
# ROOT/DEBIAN, where dpkg-shlibdeps -S ROOT finds what the package's
# dependencies on the target's libraries are.
GATHER_CONTROL = """set -e
mkdir -p "$1/DEBIAN" "$1/tmp/control"
for deb in "$1"/var/cache/apt/archives/*.deb; do
  rm -rf "$1/tmp/control/"*
  dpkg-deb -e "$deb" "$1/tmp/control"
  for name in symbols shlibs; do
    [ ! -f "$1/tmp/control/$name" ] || cat "$1/tmp/control/$name" >>"$1/DEBIAN/$name"
  done
done
rm -rf "$1/tmp/control"
"""


def root(arch, build_dir, archive=None):
    """build/ARCH/root: the target's libraries, headers and Python, unpacked
    (nothing of ARCH runs to make it), rebuilt when what goes into it changes;
    from archive's indexes when given."""
    base = os.path.join(build_dir, arch)
    folder = os.path.join(base, "root")
    stamp = os.path.join(base, "root.key")
    key = root_key(arch)
    try:
        with open(stamp) as saved:
            if saved.read().strip() == key and os.path.isdir(folder):
                return folder
    except FileNotFoundError:
        pass
    archive = archive or Archive(arch, os.path.join(base, "apt"))
    archive.update()
    shutil.rmtree(folder, ignore_errors=True)
    if os.path.exists(stamp):
        os.remove(stamp)
    os.makedirs(base, exist_ok=True)
    log = os.path.join(base, "root.log")
    command = archive.mmdebstrap(["--mode=root", "--variant=extract",
                                  "--include=" + ",".join(ROOT_PACKAGES),
                                  "--extract-hook=" + GATHER_CONTROL], folder)
    with open(log, "w") as out:
        status = subprocess.call(command, stdout=out, stderr=subprocess.STDOUT)
    if status != 0:
        with open(log) as out:
            raise ArchiveError("the %s root could not be made (%s):\n%s"
                               % (arch, log, out.read()[-3000:]))
    with open(stamp, "w") as out:
        out.write(key + "\n")
    return folder


def main(argv):
    if len(argv) != 3 or argv[1] != "root":
        sys.exit(__doc__)
    try:
        print(root(argv[2], os.path.join(REPO, "build")))
    except ArchiveError as error:
        sys.exit("arm_archive: %s" % error)


if __name__ == "__main__":
    main(sys.argv)
