"""Builds the guest: a Debian 12 armhf root with Debian's armmp kernel, set up
as Raspberry Pi OS Lite sets up a board, with a simulated GPIO chip. The result
is cached under BUILD/image-KEY/, keyed on everything that goes into it: the
files of this folder and the Debian versions of the kernel it runs.

    image.py BUILD      prints the folder of the image, building it if needed
"""
import glob
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time

import armhf_ns

HERE = os.path.dirname(os.path.abspath(__file__))
GUEST = os.path.join(HERE, "guest")
FIRST_USER = "fieldtech"
SUITE = "bookworm"
MIRRORS = ["deb http://deb.debian.org/debian bookworm main",
           "deb http://deb.debian.org/debian bookworm-updates main",
           "deb http://deb.debian.org/debian-security bookworm-security main"]
# What Raspberry Pi OS Lite has of what the logger and its package use; kestrel
# itself is installed on the running guest by the tests.
PACKAGES = ["systemd", "systemd-sysv", "systemd-timesyncd", "udev", "kmod", "procps",
            "e2fsprogs", "dosfstools", "dbus", "libpam-systemd", "sudo", "adduser", "python3",
            "python3-serial", "rsync"]
KERNEL_SOURCE = "/usr/src/linux-source-6.1.tar.xz"
SIM_SOURCES = ["drivers/gpio/gpio-sim.c", "drivers/gpio/gpiolib.h", "kernel/irq/irq_sim.c"]
IMAGE_SIZE = "2G"


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


def kernel_versions():
    """The armmp kernel Debian's archive has now: its package, release and
    version, and the version of the kernel source beside it."""
    depends = output(["apt-cache", "depends", "linux-image-armmp:armhf"])
    names = [line.split(":", 1)[1].strip() for line in depends.splitlines()
             if line.strip().startswith("Depends:") and "linux-image-" in line]
    if not names:
        raise ImageError("apt knows no linux-image-armmp for armhf: is armhf added "
                         "(dpkg --add-architecture armhf) and apt-get update run?")
    package = names[0].split(":")[0]
    policy = output(["apt-cache", "policy", package + ":armhf"])
    version = [line.split()[1] for line in policy.splitlines()
               if line.strip().startswith("Candidate:")][0]
    source = output(["dpkg-query", "-W", "-f=${Version}", "linux-source-6.1"])
    if source != version:
        raise ImageError("linux-source-6.1 is %s but the armmp kernel is %s: "
                         "apt-get update and install linux-source-6.1=%s" % (source, version, version))
    return {"package": package, "release": package[len("linux-image-"):], "version": version}


def image_key(versions):
    digest = hashlib.sha256()
    digest.update(json.dumps([versions, PACKAGES, MIRRORS, FIRST_USER, IMAGE_SIZE]).encode())
    for path in sorted(glob.glob(os.path.join(GUEST, "*")) + [os.path.abspath(__file__),
                                                              armhf_ns.__file__]):
        digest.update(os.path.basename(path).encode())
        with open(path, "rb") as source:
            digest.update(source.read())
    return digest.hexdigest()[:16]


def build_gpio_sim(work, versions, log):
    """gpio-sim.ko for the guest's kernel: Debian's kernels leave it out, so it
    is built here from Debian's kernel source against the armmp headers."""
    debs = os.path.join(work, "debs")
    headers = os.path.join(work, "headers")
    module = os.path.join(work, "gpio-sim")
    for folder in (debs, headers, module):
        os.makedirs(folder)
    release, version = versions["release"], versions["version"]
    common = release.rsplit("-", 1)[0] + "-common"
    run(["apt-get", "download", "-q", "linux-headers-%s:armhf=%s" % (release, version),
         "linux-headers-%s=%s" % (common, version), "linux-kbuild-6.1:armhf=%s" % version],
        log, cwd=debs)
    for deb in sorted(glob.glob(os.path.join(debs, "*.deb"))):
        run(["dpkg-deb", "-x", deb, headers], log)
    tree = os.path.join(headers, "usr/src/linux-headers-" + release)
    makefile = os.path.join(tree, "Makefile")
    with open(makefile) as text:
        content = text.read()
    with open(makefile, "w") as text:  # it includes the common part by its installed path
        text.write(content.replace("/usr/src/", os.path.join(headers, "usr/src") + "/"))
    members = ["linux-source-6.1/" + name for name in SIM_SOURCES]
    run(["tar", "-xJf", KERNEL_SOURCE, "-C", work] + members, log)
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
    run(["make", "-C", tree, "M=" + module, "ARCH=arm",
         "CROSS_COMPILE=arm-linux-gnueabihf-", "modules"], log)
    return os.path.join(module, "gpio-sim.ko")


def build_root(root, versions, module, log):
    release = versions["release"]
    guest = GUEST
    divert = ('chroot "$1" dpkg-divert --quiet --local --rename --add /usr/sbin/update-initramfs'
              ' && ln -s /bin/true "$1/usr/sbin/update-initramfs"')
    install_files = " && ".join([
        'install -m 0755 %s/board-gpio "$1/usr/local/sbin/board-gpio"' % guest,
        'install -m 0644 %s/board-gpio.service "$1/etc/systemd/system/"' % guest,
        'install -m 0644 %s/99-com.rules "$1/etc/udev/rules.d/"' % guest,
        'install -d "$1/etc/systemd/system/serial-getty@hvc0.service.d"',
        'install -m 0644 %s/autologin.conf "$1/etc/systemd/system/serial-getty@hvc0.service.d/"'
        % guest,
        'install -D -m 0644 %s "$1/lib/modules/%s/updates/gpio-sim.ko"' % (module, release),
        'install -m 0755 %s/setup "$1/tmp/setup"' % guest,
        'chroot "$1" /tmp/setup %s %s' % (release, FIRST_USER),
        'rm "$1/tmp/setup"',
    ])
    include = ",".join(PACKAGES + ["%s=%s" % (versions["package"], versions["version"])])
    run(["mmdebstrap", "--mode=root", "--variant=minbase", "--arch=armhf",
         "--include=" + include, "--essential-hook=" + divert,
         "--customize-hook=" + install_files, SUITE, root] + MIRRORS, log)


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


def build(folder, versions, log):
    work = folder + ".work"
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    started = time.monotonic()
    module = build_gpio_sim(work, versions, log)
    root = os.path.join(work, "root")
    build_root(root, versions, module, log)
    release = versions["release"]
    shutil.copy(os.path.join(root, "boot", "vmlinuz-" + release), os.path.join(work, "vmlinuz"))
    shutil.copy(os.path.join(root, "boot", "initrd.img-" + release), os.path.join(work, "initrd.img"))
    packages = output(["dpkg-query", "--admindir", os.path.join(root, "var/lib/dpkg"), "-W",
                       "-f=${Package} ${Version}\n"])
    run(["mkfs.ext4", "-q", "-L", "rootfs", "-d", root, os.path.join(work, "rootfs.img"),
         IMAGE_SIZE], log)
    shutil.rmtree(root)
    add_device_nodes(os.path.join(work, "rootfs.img"), log)
    manifest = {"kernel": versions, "first_user": FIRST_USER, "packages": packages.split("\n")[:-1],
                "build_seconds": round(time.monotonic() - started), "built_at": time.time()}
    with open(os.path.join(work, "manifest.json"), "w") as out:
        json.dump(manifest, out, indent=1)
    for name in ("debs", "headers", "gpio-sim", "linux-source-6.1"):
        shutil.rmtree(os.path.join(work, name))
    os.rename(work, folder)


def build_in_namespace(folder, versions, log):
    """Builds with armhf emulation: in a child process with a namespace of its
    own where the kernel allows that, else with the machine's binfmt_misc."""
    if not armhf_ns.sandboxed_binfmt():
        with armhf_ns.machine_wide():
            build(folder, versions, log)
        return
    child = os.fork()
    if child == 0:
        status = 1
        try:
            armhf_ns.enter_private_armhf_namespace()
            build(folder, versions, log)
            status = 0
        except Exception as error:  # pylint: disable=broad-except
            print("image: %s" % error, file=sys.stderr)
        finally:
            sys.stderr.flush()
            os._exit(status)
    _, status = os.waitpid(child, 0)
    if status != 0:
        raise ImageError("building the guest failed (log: %s)" % log)


def image(build_dir):
    """The folder of the cached image for today's kernel, built if missing."""
    versions = kernel_versions()
    folder = os.path.join(build_dir, "image-" + image_key(versions))
    if os.path.exists(os.path.join(folder, "manifest.json")):
        return folder
    os.makedirs(build_dir, exist_ok=True)
    for old in glob.glob(os.path.join(build_dir, "image-*")):
        shutil.rmtree(old)
    log = os.path.join(build_dir, "image.log")
    if os.path.exists(log):
        os.remove(log)
    print("building the guest image (log: %s)" % log, file=sys.stderr)
    build_in_namespace(folder, versions, log)
    return folder


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    try:
        print(image(os.path.abspath(argv[1])))
    except ImageError as error:
        sys.exit("image: %s" % error)


if __name__ == "__main__":
    main(sys.argv)
