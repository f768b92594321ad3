"""Builds the guest: a Debian 12 root for an ARM architecture with Debian's
kernel for it, set up as Raspberry Pi OS Lite sets up a board, with a
simulated GPIO chip. armhf (32-bit Raspberry Pi OS; the armmp kernel) and
arm64 (64-bit Raspberry Pi OS, what most Pi 3, 4 and 5 run; the arm64 kernel)
are built from the same steps. The result is cached under
BUILD/image-ARCH-KEY/, keyed on everything that goes into it: the
architecture, the files of this folder and the Debian versions of the kernel
it runs; its manifest.json names the architecture for the machine and the
tests. The root, the kernel, its headers and its source all come from one set
of the archive's indexes for the architecture (tools/arm_archive.py); nothing
of it is installed on this machine.

    image.py [--arch ARCH] BUILD    prints the folder of the image, building it if needed
"""
import argparse
import glob
import hashlib
import json
import os
import shutil
import subprocess
import sys
import re
import time

import arm_ns

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tools"))
import arm_archive  # noqa: E402

GUEST = os.path.join(HERE, "guest")
FIRST_USER = "fieldtech"
# What Raspberry Pi OS Lite has of what the logger and its package use or meet
# on a board (its saved clock, NTFS sticks through ntfs-3g); kestrel itself is
# installed on the running guest by the tests.
PACKAGES = ["systemd", "systemd-sysv", "systemd-timesyncd", "udev", "kmod", "procps",
            "e2fsprogs", "dosfstools", "dbus", "libpam-systemd", "sudo", "adduser", "python3",
            "python3-serial", "rsync", "fake-hwclock", "ntfs-3g"]
KERNEL_SOURCE = "usr/src/linux-source-6.1.tar.xz"
SIM_SOURCES = ["drivers/gpio/gpio-sim.c", "drivers/gpio/gpiolib.h", "kernel/irq/irq_sim.c"]
IMAGE_SIZE = "2G"
# What differs between the architectures: Debian's kernel flavour, and the
# kernel's and the cross compiler's names for the target of the module build.
ARCHES = {
    "armhf": {"flavour": "armmp", "kernel_arch": "arm", "cross": "arm-linux-gnueabihf-"},
    "arm64": {"flavour": "arm64", "kernel_arch": "arm64", "cross": "aarch64-linux-gnu-"},
}
DEFAULT_ARCH = "armhf"


class ImageError(Exception):
    pass


def run(argv, log, **kwargs):
    """Runs a build step with its output in the log; a failure shows the log's tail."""
    with open(log, "ab") as out:
        out.write(("\n$ %s\n" % " ".join(argv)).encode())
        out.flush()
        status = subprocess.call(argv, stdout=out, stderr=subprocess.STDOUT, **kwargs)
    if status != 0:
        with open(log, "rb") as out:
            tail = out.read()[-4000:].decode(errors="replace")
        raise ImageError("%s failed (exit %d); end of %s:\n%s" % (argv[0], status, log, tail))


def output(argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout


def arch_settings(arch):
    try:
        return ARCHES[arch]
    except KeyError:
        raise ImageError("no guest for architecture %r (known: %s)"
                         % (arch, ", ".join(ARCHES))) from None


def available_versions(archive, package):
    """Every version of package the indexes hold, not only the candidate."""
    return [line.split("|")[1].strip()
            for line in archive.query(["apt-cache", "madison", package]).splitlines()
            if line.count("|") == 2]


def kernel_versions(archive, flavour):
    """The kernel linux-image-FLAVOUR depends on in the archive's indexes: its
    package, release and version. Its source is fetched at the same version.
    The source, the kernel build tools and the flavours come from separate
    uploads, so the newest source can be ahead of a kernel (arm64's signed
    kernels follow a day or more later); the indexes keep the older sources.
    The build tools (linux-kbuild) are the newest of the same series, as the
    headers' dependency (>=) allows."""
    meta = "linux-image-" + flavour
    names = [name for name in archive.depends(meta) if "linux-image-" in name]
    if not names:
        raise ImageError("the %s indexes have no %s" % (archive.arch, meta))
    package = names[0].split(":")[0]
    version = archive.candidate(package)
    if version is None:
        raise ImageError("the %s indexes have no version of %s" % (archive.arch, package))
    sources = available_versions(archive, "linux-source-6.1")
    if version not in sources:
        raise ImageError("the %s indexes have %s %s but linux-source-6.1 only at %s"
                         % (archive.arch, package, version, ", ".join(sources) or "none"))
    kbuild = archive.candidate("linux-kbuild-6.1")
    if kbuild is None or subprocess.call(["dpkg", "--compare-versions", kbuild, "ge",
                                          version]) != 0:
        raise ImageError("the %s indexes have %s %s but linux-kbuild-6.1 %s"
                         % (archive.arch, package, version, kbuild))
    return {"package": package, "release": package[len("linux-image-"):], "version": version,
            "kbuild": kbuild}


def image_key(arch, versions, suites):
    digest = hashlib.sha256()
    digest.update(json.dumps([arch, versions, suites, PACKAGES, arm_archive.MIRRORS, FIRST_USER,
                              IMAGE_SIZE]).encode())
    for path in sorted(glob.glob(os.path.join(GUEST, "*")) + [os.path.abspath(__file__),
                                                              arm_ns.__file__,
                                                              arm_archive.__file__]):
        digest.update(os.path.basename(path).encode())
        with open(path, "rb") as source:
            digest.update(source.read())
    return digest.hexdigest()[:16]


def build_gpio_sim(work, archive, versions, arm_root, log):
    """gpio-sim.ko for the guest's kernel: Debian's kernels leave it out, so it
    is built here from Debian's kernel source against the kernel's headers.
    The headers' tools are programs of the guest's architecture: they run
    through qemu-user with the libraries of that architecture's root."""
    debs = os.path.join(work, "debs")
    headers = os.path.join(work, "headers")
    module = os.path.join(work, "gpio-sim")
    for folder in (debs, headers, module):
        os.makedirs(folder)
    release, version = versions["release"], versions["version"]
    common = release.rsplit("-", 1)[0] + "-common"
    archive.download(["linux-headers-%s=%s" % (release, version),
                      "linux-headers-%s=%s" % (common, version),
                      "linux-kbuild-6.1=%s" % versions["kbuild"]], debs)
    for deb in sorted(glob.glob(os.path.join(debs, "*.deb"))):
        run(["dpkg-deb", "-x", deb, headers], log)
    source = os.path.join(work, "source")
    os.makedirs(source)
    archive.download(["linux-source-6.1=%s" % version], source)
    run(["sh", "-c", 'dpkg-deb --fsys-tarfile "$1" | tar -x -C "$2" "./$3"', "sh",
         glob.glob(os.path.join(source, "*.deb"))[0], source, KERNEL_SOURCE], log)
    tree = os.path.join(headers, "usr/src/linux-headers-" + release)
    makefile = os.path.join(tree, "Makefile")
    with open(makefile) as text:
        content = text.read()
    with open(makefile, "w") as text:  # it includes the common part by its installed path
        text.write(content.replace("/usr/src/", os.path.join(headers, "usr/src") + "/"))
    members = ["linux-source-6.1/" + name for name in SIM_SOURCES]
    run(["tar", "-xJf", os.path.join(source, KERNEL_SOURCE), "-C", work] + members, log)
    for name in SIM_SOURCES:
        target = "sim_main.c" if name.endswith("gpio-sim.c") else os.path.basename(name)
        shutil.copy(os.path.join(work, "linux-source-6.1", name), os.path.join(module, target))
    irq_sim = os.path.join(module, "irq_sim.c")
    with open(irq_sim) as text:
        content = text.read()
    # irq_to_desc() is not exported to modules; generic_handle_irq() does the same.
    patched = content.replace("handle_simple_irq(irq_to_desc(irqnum));",
                              "generic_handle_irq(irqnum);")
    if patched == content:
        raise ImageError("irq_sim.c of this kernel source no longer calls irq_to_desc()")
    with open(irq_sim, "w") as text:
        text.write(patched)
    shutil.copy(os.path.join(GUEST, "Kbuild"), module)
    target = arch_settings(archive.arch)
    run(["make", "-C", tree, "M=" + module, "ARCH=" + target["kernel_arch"],
         "CROSS_COMPILE=" + target["cross"], "modules"], log,
        env=dict(os.environ, QEMU_LD_PREFIX=arm_root))
    return os.path.join(module, "gpio-sim.ko")


def build_root(root, archive, versions, module, log):
    release = versions["release"]
    guest = GUEST
    divert = ('chroot "$1" dpkg-divert --quiet --local --rename --add /usr/sbin/update-initramfs'
              ' && ln -s /bin/true "$1/usr/sbin/update-initramfs"')
    install_files = " && ".join([
        'install -m 0755 %s/board-gpio "$1/usr/local/sbin/board-gpio"' % guest,
        'install -m 0644 %s/board-gpio.service "$1/etc/systemd/system/"' % guest,
        'install -m 0644 %s/99-com.rules "$1/etc/udev/rules.d/"' % guest,
        'install -D -m 0644 %s/journald-volatile.conf '
        '"$1/usr/lib/systemd/journald.conf.d/40-rpi-volatile-storage.conf"' % guest,
        'install -d "$1/etc/systemd/system/serial-getty@hvc0.service.d"',
        'install -m 0644 %s/autologin.conf "$1/etc/systemd/system/serial-getty@hvc0.service.d/"'
        % guest,
        'install -D -m 0644 %s "$1/lib/modules/%s/updates/gpio-sim.ko"' % (module, release),
        'install -m 0755 %s/setup "$1/tmp/setup"' % guest,
        'chroot "$1" /tmp/setup %s %s' % (release, FIRST_USER),
        'rm "$1/tmp/setup"',
    ])
    include = ",".join(PACKAGES + ["%s=%s" % (versions["package"], versions["version"])])
    run(archive.mmdebstrap(["--mode=root", "--variant=minbase", "--include=" + include,
                            "--essential-hook=" + divert, "--customize-hook=" + install_files],
                           root), log)


def add_device_nodes(disk, log):
    """The nodes the initrd needs in the root before it hands over to systemd;
    a user namespace cannot create them in the folder, so they go straight
    into the file system."""
    commands = os.path.join(os.path.dirname(disk), "dev.debugfs")
    with open(commands, "w") as out:
        out.write("cd /dev\nmknod console c 5 1\nsif console mode 020600\n"
                  "mknod null c 1 3\nsif null mode 020666\n")
    run(["debugfs", "-w", "-f", commands, disk], log)
    os.remove(commands)


def build(folder, archive, versions, arm_root, log):
    work = folder + ".work"
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    started = time.monotonic()
    module = build_gpio_sim(work, archive, versions, arm_root, log)
    root = os.path.join(work, "root")
    build_root(root, archive, versions, module, log)
    release = versions["release"]
    shutil.copy(os.path.join(root, "boot", "vmlinuz-" + release), os.path.join(work, "vmlinuz"))
    shutil.copy(os.path.join(root, "boot", "initrd.img-" + release), os.path.join(work, "initrd.img"))
    packages = output(["dpkg-query", "--admindir", os.path.join(root, "var/lib/dpkg"), "-W",
                       "-f=${Package} ${Version}\n"])
    run(["mkfs.ext4", "-q", "-L", "rootfs", "-d", root, os.path.join(work, "rootfs.img"),
         IMAGE_SIZE], log)
    shutil.rmtree(root)
    add_device_nodes(os.path.join(work, "rootfs.img"), log)
    manifest = {"arch": archive.arch, "kernel": versions, "first_user": FIRST_USER,
                "packages": packages.split("\n")[:-1],
                "build_seconds": round(time.monotonic() - started), "built_at": time.time()}
    with open(os.path.join(work, "manifest.json"), "w") as out:
        json.dump(manifest, out, indent=1)
    for name in ("debs", "headers", "gpio-sim", "linux-source-6.1", "source"):
        shutil.rmtree(os.path.join(work, name))
    os.rename(work, folder)


def build_in_namespace(folder, archive, *build_args):
    """Builds with the emulation of the archive's architecture: in a child
    process with a namespace of its own where the kernel allows that, else
    with the machine's binfmt_misc."""
    build_args = (archive,) + build_args
    log = build_args[-1]
    if not arm_ns.sandboxed_binfmt():
        with arm_ns.machine_wide(archive.arch):
            build(folder, *build_args)
        return
    child = os.fork()
    if child == 0:
        status = 1
        try:
            arm_ns.enter_private_namespace(archive.arch)
            build(folder, *build_args)
            status = 0
        except Exception as error:  # pylint: disable=broad-except
            print("image: %s" % error, file=sys.stderr)
        finally:
            sys.stderr.flush()
            os._exit(status)
    _, status = os.waitpid(child, 0)
    if status != 0:
        raise ImageError("building the guest failed (log: %s)" % log)


def stale_images(build_dir, arch):
    """The cached images of arch in build_dir; for armhf also those of the
    folders named before the architecture was part of the name."""
    names = [name for name in os.listdir(build_dir) if name.startswith("image-%s-" % arch)]
    if arch == "armhf":
        names += [name for name in os.listdir(build_dir)
                  if re.fullmatch(r"image-[0-9a-f]{16}(\.work)?", name)]
    return [os.path.join(build_dir, name) for name in names]


def image(build_dir, arch=DEFAULT_ARCH):
    """The folder of arch's cached image for today's kernel, built if missing;
    the images of the other architectures stay."""
    settings = arch_settings(arch)
    repo_build = os.path.join(REPO, "build")
    archive = arm_archive.Archive(arch, os.path.join(repo_build, arch, "apt"))
    archive.update()
    versions = kernel_versions(archive, settings["flavour"])
    folder = os.path.join(build_dir, "image-%s-%s" % (arch, image_key(arch, versions,
                                                                       archive.suites())))
    if os.path.exists(os.path.join(folder, "manifest.json")):
        return folder
    arm_root = arm_archive.root(arch, repo_build, archive)
    os.makedirs(build_dir, exist_ok=True)
    for old in stale_images(build_dir, arch):
        shutil.rmtree(old)
    log = os.path.join(build_dir, "image-%s.log" % arch)
    if os.path.exists(log):
        os.remove(log)
    print("building the %s guest image (log: %s)" % (arch, log), file=sys.stderr)
    build_in_namespace(folder, archive, versions, arm_root, log)
    return folder


def read_manifest(folder):
    """What the image's build recorded; images built before the architecture
    was recorded are armhf."""
    with open(os.path.join(folder, "manifest.json")) as saved:
        found = json.load(saved)
    found.setdefault("arch", DEFAULT_ARCH)
    return found


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--arch", default=DEFAULT_ARCH, choices=sorted(ARCHES))
    parser.add_argument("build", help="the folder of the cached images (build/board)")
    options = parser.parse_args(argv[1:])
    try:
        print(image(os.path.abspath(options.build), options.arch))
    except (ImageError, arm_archive.ArchiveError) as error:
        sys.exit("image: %s" % error)


if __name__ == "__main__":
    main(sys.argv)
