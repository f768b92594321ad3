"""USB sticks as image files: partitions with a file system and a label, made
and read from the host (dosfstools and mtools for FAT, exfatprogs, ntfs-3g),
never mounted here."""
import os
import shutil
import subprocess

SIZE_MB = 64
# A partition of a few MiB has too few clusters for FAT32 (mtools refuses to
# read it): below this mkfs.vfat picks FAT12 or FAT16, as on a small stick.
FAT32_FROM_MB = 16
START_SECTOR = 2048  # where the first partition starts, as on a stick from a shop
SECTOR = 512
# Partition type in the MBR and the host's checker of each file system.
TYPES = {"vfat": "c", "exfat": "7", "ntfs": "7"}
CHECKERS = {"vfat": ["fsck.fat", "-n"], "exfat": ["fsck.exfat", "-n"], "ntfs": ["ntfsfix", "-n"]}


def _mtools_image(path):
    return "%s@@%d" % (path, START_SECTOR * SECTOR)


def _format(path, fstype, label, start, sectors):
    """A file system of sectors 512-byte sectors at sector start of the image."""
    if fstype == "vfat":
        bits = ["-F", "32"] if sectors * SECTOR >= FAT32_FROM_MB * 1024 * 1024 else []
        subprocess.run(["mkfs.vfat"] + bits + ["-n", label, "--offset", str(start), path,
                        str(sectors // 2)], check=True, capture_output=True)
        return
    # exFAT's and NTFS's tools write from the start of what they are given: the
    # partition is made on its own, then copied into place.
    partition = path + ".partition"
    with open(partition, "wb") as out:
        out.truncate(sectors * SECTOR)
    command = (["mkfs.exfat", "-L", label] if fstype == "exfat" else
               ["mkntfs", "--force", "--quick", "--quiet", "--label", label,
                "--partition-start", str(start)])
    subprocess.run(command + [partition], check=True, capture_output=True)
    with open(partition, "rb") as source, open(path, "r+b") as image:
        image.seek(start * SECTOR)
        shutil.copyfileobj(source, image)
    os.remove(partition)


def make_partitions(path, partitions, size_mb=SIZE_MB):
    """A stick of size_mb MiB whose space is shared evenly by partitions, each
    a (label, file system type) pair; returns the start sector of each."""
    with open(path, "wb") as image:
        image.truncate(size_mb * 1024 * 1024)
    sectors = (size_mb * 1024 * 1024 // SECTOR - START_SECTOR) // len(partitions)
    sectors -= sectors % START_SECTOR
    starts = [START_SECTOR + number * sectors for number in range(len(partitions))]
    table = "label: dos\n" + "".join("start=%d, size=%d, type=%s\n" % (start, sectors, TYPES[fstype])
                                     for start, (_, fstype) in zip(starts, partitions))
    subprocess.run(["sfdisk", "-q", path], input=table, text=True, check=True)
    for start, (label, fstype) in zip(starts, partitions):
        _format(path, fstype, label, start, sectors)
    return starts


def make(path, label, files=(), fstype="vfat", size_mb=SIZE_MB):
    """A stick of size_mb MiB with one partition labelled label; a FAT one
    holds files (host paths, copied to its top level)."""
    make_partitions(path, [(label, fstype)], size_mb)
    for source in files:
        subprocess.run(["mcopy", "-i", _mtools_image(path), source, "::" + os.path.basename(source)],
                       check=True)


def files(path):
    """{path on the stick: bytes} of every file on a FAT stick."""
    listing = subprocess.run(["mdir", "-i", _mtools_image(path), "-/", "-b", "::"],
                             capture_output=True, text=True)
    if listing.returncode != 0 and 'File "::" not found' in listing.stderr:
        return {}  # mdir's word for a stick that holds nothing
    listing.check_returncode()
    found = {}
    for name in listing.stdout.split("\n"):
        name = name.strip()
        if not name or name.endswith("/"):
            continue
        content = subprocess.run(["mtype", "-i", _mtools_image(path), name],
                                 capture_output=True, check=True).stdout
        found[name[len("::"):] if name.startswith("::") else name] = content
    return found


def check(path, scratch, fstype="vfat"):
    """The file system checker's verdict on the first partition, read from a
    copy: (exit status, output)."""
    with open(path, "rb") as image, open(scratch, "wb") as partition:
        image.seek(START_SECTOR * SECTOR)
        shutil.copyfileobj(image, partition)
    result = subprocess.run(CHECKERS[fstype] + [scratch], capture_output=True, text=True)
    os.remove(scratch)
    return result.returncode, result.stdout + result.stderr
