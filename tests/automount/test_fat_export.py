"""The export onto a FAT stick mounted with the helper's options, under a real
Linux kernel: user-mode Linux (Debian's user-mode-linux) runs as a plain
process inside bubblewrap, sees the machine's files read-only through hostfs
and the stick as its block device ubda, and runs the real rsync as root."""
import os
import subprocess
import tempfile
from pathlib import Path

import pytest

from sandbox.bwrap import SYSTEM_PATH, Bwrap
from test_usb_mount import mounted

UML = "/usr/bin/linux.uml"
MODULES = Path("/usr/lib/uml/modules")
STICK_MIB = 32

# Runs as init inside the kernel: the tagsheets laid out as the logger leaves
# them (the folder of pi, a day's folder of root made by "sudo mkdir" and
# opened by "sudo chmod a+r+w", a tagsheet of pi), the stick mounted with
# $OPTIONS, the export's rsync, its exit status, what landed, power off.
INIT = r"""#!/bin/sh
mount -t proc proc /proc
mount -t tmpfs tmp /tmp
for module in fat/fat fat/vfat nls/nls_cp437 nls/nls_utf8 nls/nls_iso8859-1; do
  insmod "$MODULES/kernel/fs/$module.ko"
done
sheets=/tmp/Tagsheets
mkdir -p $sheets/01-06-2026 /tmp/stick
chown 1001:1002 $sheets
chmod 0777 $sheets/01-06-2026
printf 'row\n' >$sheets/01-06-2026/Non-Tag-01-06-2026.txt
chown 1001:1002 $sheets/01-06-2026/Non-Tag-01-06-2026.txt
mount -t vfat -o "$OPTIONS" /dev/ubda /tmp/stick && echo mounted
rsync -avx $sheets/ /tmp/stick >/tmp/rsync.out 2>&1
echo "rsync exit $?"
sed 's/^/rsync: /' /tmp/rsync.out
echo "landed: $(cat /tmp/stick/01-06-2026/Non-Tag-01-06-2026.txt)"
umount /tmp/stick
echo o >/proc/sysrq-trigger
sleep 10
"""


def run_uml(box, arguments):
    """The kernel's output of one boot of user-mode Linux with hostfs as its root."""
    box.setenv(PATH=SYSTEM_PATH, HOME="/tmp", TMPDIR="/tmp")
    argv = box.command([UML, "mem=96M", "root=/dev/root", "rootfstype=hostfs", "rootflags=/",
                        "ro", "con=null", "con0=fd:0,fd:1", "quiet"] + arguments)
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=120).stdout


# Debian 12's user-mode Linux (6.1) cannot give its processes their
# floating-point state on a host whose XSAVE area is larger than it expects
# (a processor with AMX, for one): every process it starts dies at once.
UML_CANNOT_RUN = "ptrace set fp regs failed"


@pytest.fixture(scope="module")
def uml_runs():
    output = run_uml(Bwrap().tmpfs("/tmp", "/run", "/home", "/media"), ["init=/bin/true"])
    if UML_CANNOT_RUN in output:
        pytest.skip("user-mode Linux cannot run a process on this host's processor: %r"
                    % UML_CANNOT_RUN)


def export_onto_fat(options):
    """Runs the export onto a fresh FAT stick mounted with options; returns the kernel's output."""
    (release,) = os.listdir(MODULES)
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        stick = folder / "stick.img"
        with open(stick, "wb") as image:
            image.truncate(STICK_MIB << 20)
        subprocess.run(["mkfs.vfat", "-n", "STICK", str(stick)], check=True,
                       capture_output=True)
        init = folder / "init"
        init.write_text(INIT)
        init.chmod(0o755)
        box = Bwrap().tmpfs("/tmp", "/run", "/home", "/media")
        box.ro_bind(init, "/run/init").bind(stick, "/run/stick.img")
        return run_uml(box, ["init=/run/init", "ubd0=/run/stick.img",
                             "MODULES=%s" % (MODULES / release), "OPTIONS=%s" % options])


@pytest.fixture(scope="module")
def helper_options():
    """The vfat mount options the helper mounts a stick with."""
    return mounted(ID_FS_LABEL="STICK", ID_FS_TYPE="vfat")[2]


@pytest.mark.skipif(not os.path.exists(UML), reason="needs user-mode-linux (scripts/install-deps e2e)")
@pytest.mark.usefixtures("uml_runs")
class TestFatStick:
    def test_the_export_copies_cleanly_with_the_helpers_options(self, helper_options):
        output = export_onto_fat(helper_options)
        assert "mounted" in output.splitlines(), output
        assert "rsync exit 0" in output.splitlines(), output
        assert "landed: row" in output.splitlines(), output

    def test_without_quiet_the_same_export_fails_on_the_owner_of_the_days_folder(
            self, helper_options):
        options = ",".join(o for o in helper_options.split(",") if o != "quiet")
        assert options != helper_options
        output = export_onto_fat(options)
        assert "rsync exit 23" in output.splitlines(), output
        assert 'chown "/tmp/stick/01-06-2026" failed' in output, output
        assert "landed: row" in output.splitlines(), output
