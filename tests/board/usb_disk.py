"""The board's system moved to a USB disk, as a person does to boot a
Raspberry Pi from USB (SD Card Copier, or dd and an edited fstab): a FAT boot
partition "bootfs" and the card's root file system as the second partition,
mounted by PARTUUID as Raspberry Pi OS names them. Made from the host while
the board is off."""
import os
import subprocess

DISK_ID = "4b657374"  # the disk identifier in the MBR, the first half of each PARTUUID
ROOT_ARGUMENT = "root=PARTUUID=%s-02" % DISK_ID
SECTOR = 512
BOOT_START = 2048
BOOT_SECTORS = 128 * 2048  # 128 MiB
ROOT_START = BOOT_START + BOOT_SECTORS
FSTAB = ("PARTUUID=%s-01  /boot/firmware  vfat  defaults          0  2\n"
         "PARTUUID=%s-02  /               ext4  defaults,noatime  0  1\n" % (DISK_ID, DISK_ID))


def _run(argv, **kwargs):
    return subprocess.run(argv, check=True, capture_output=True, **kwargs)


def make(card, path):
    """Writes the USB disk at path from the card (the board's qcow2 disk)."""
    root_bytes = int(_run(["qemu-img", "info", "--output=json", card], text=True).stdout
                     .split('"virtual-size":')[1].split(",")[0])
    if os.path.exists(path):
        os.remove(path)
    with open(path, "wb") as disk:
        disk.truncate(ROOT_START * SECTOR + root_bytes)
    table = ("label: dos\nlabel-id: 0x%s\nstart=%d, size=%d, type=c, bootable\nstart=%d, type=83\n"
             % (DISK_ID, BOOT_START, BOOT_SECTORS, ROOT_START))
    _run(["sfdisk", "-q", path], input=table, text=True)
    _run(["mkfs.vfat", "-F", "16", "-n", "bootfs", "--offset", str(BOOT_START), path, str(BOOT_SECTORS // 2)])
    # The card's file system, straight into the second partition.
    _run(["qemu-img", "convert", "-n", card, "--target-image-opts",
          "driver=raw,offset=%d,size=%d,file.driver=file,file.filename=%s"
          % (ROOT_START * SECTOR, root_bytes, path)])
    fstab = path + ".fstab"
    with open(fstab, "w") as out:
        out.write(FSTAB)
    commands = path + ".debugfs"
    with open(commands, "w") as out:
        out.write("rm /etc/fstab\nwrite %s /etc/fstab\n" % fstab)
    _run(["debugfs", "-w", "-f", commands, "%s?offset=%d" % (path, ROOT_START * SECTOR)])
    os.remove(fstab)
    os.remove(commands)


def fstab(path):
    """The /etc/fstab of the disk's root file system, read from the host."""
    return _run(["debugfs", "-R", "cat /etc/fstab", "%s?offset=%d" % (path, ROOT_START * SECTOR)],
                text=True).stdout
