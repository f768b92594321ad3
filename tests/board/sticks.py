"""USB sticks as image files: one FAT partition with a label, made and read
from the host with dosfstools and mtools, never mounted here."""
import os
import shutil
import subprocess

SIZE_MB = 64
START_SECTOR = 2048  # where the partition starts, as on a stick from a shop


def _mtools_image(path):
    return "%s@@%d" % (path, START_SECTOR * 512)


def make(path, label, files=()):
    """A stick with one FAT32 partition labelled label, holding files
    (host paths, copied to its top level)."""
    with open(path, "wb") as image:
        image.truncate(SIZE_MB * 1024 * 1024)
    subprocess.run(["sfdisk", "-q", path], input="label: dos\nstart=%d, type=c\n" % START_SECTOR,
                   text=True, check=True)
    subprocess.run(["mkfs.vfat", "-F", "32", "-n", label, "--offset", str(START_SECTOR), path,
                    str((SIZE_MB * 1024 - START_SECTOR // 2))], check=True,
                   stdout=subprocess.DEVNULL)
    for source in files:
        subprocess.run(["mcopy", "-i", _mtools_image(path), source, "::" + os.path.basename(source)],
                       check=True)


def files(path):
    """{path on the stick: bytes} of every file on it."""
    listing = subprocess.run(["mdir", "-i", _mtools_image(path), "-/", "-b", "::"],
                             capture_output=True, text=True, check=True).stdout
    found = {}
    for name in listing.split("\n"):
        name = name.strip()
        if not name or name.endswith("/"):
            continue
        content = subprocess.run(["mtype", "-i", _mtools_image(path), name],
                                 capture_output=True, check=True).stdout
        found[name[len("::"):] if name.startswith("::") else name] = content
    return found


def check(path, scratch):
    """fsck.fat's verdict on the partition, read from a copy: (exit status, output)."""
    with open(path, "rb") as image, open(scratch, "wb") as partition:
        image.seek(START_SECTOR * 512)
        shutil.copyfileobj(image, partition)
    result = subprocess.run(["fsck.fat", "-n", scratch], capture_output=True, text=True)
    os.remove(scratch)
    return result.returncode, result.stdout + result.stderr
