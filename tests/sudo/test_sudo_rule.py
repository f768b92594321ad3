"""The package's sudo rule and kestrel's programs under the real sudo: the
logger's lines work, with any name a stick is mounted under, and pi cannot
turn any of them against the board (tests/sudo/world.py)."""
import os
import shlex
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))

from hostile_names import HOSTILE_NAMES  # noqa: E402
from world import OTHER, PROGRAMS, TAGSHEETS, World  # noqa: E402

BUILD = Path(os.environ.get("KESTREL_BUILD", Path(__file__).resolve().parents[2] / "build"))
DAY = "09-12-2026"
DAY_FOLDER = TAGSHEETS + "/" + DAY
TAGSHEET = DAY_FOLDER + "/Non-Tag-" + DAY + ".txt"


@pytest.fixture
def world():
    if os.geteuid() != 0:
        pytest.skip("needs root (a mount namespace of its own)")
    if not (BUILD / "sudo" / "chmod").exists():
        pytest.fail("%s/sudo is not built (scripts/build)" % BUILD, pytrace=False)
    made = World(BUILD)
    yield made
    made.close()


def start(world):
    """The start's three lines, as the logger runs them."""
    return world.as_pi("sudo find %s -name \"%s\" ; sudo mkdir %s; sudo chmod a+r+w %s"
                       % (TAGSHEETS, DAY, DAY_FOLDER, DAY_FOLDER))


def export(world, name):
    """The export's three lines, as the logger runs them: the name quoted for the shell."""
    where = shlex.quote(os.fsdecode(b"/media/pi/" + os.fsencode(name)))
    lines = ["sudo rsync -avx %s/ %s" % (TAGSHEETS, where), "sudo umount " + where,
             "sudo rm -r " + where]
    return [world.as_pi(os.fsencode(line)) for line in lines]


def write_tagsheet(world, text=b"a row\n"):
    result = world.as_pi(b"printf '%s' '" + text + b"' >>" + TAGSHEET.encode())
    assert result.returncode == 0, result.stderr


class TestTheLoggersLines:
    def test_a_start_makes_the_days_folder_for_pi_closed_to_replacement(self, world):
        first = start(world)
        assert first.returncode == 0, first.stderr
        assert first.stdout == b""
        mode, owner = world.stat(DAY_FOLDER)
        assert (mode & 0o7777, owner) == (0o1777, 1500)
        again = start(world)
        assert again.stdout == (DAY_FOLDER + "\n").encode()
        assert b"File exists" in again.stderr
        assert world.stat(DAY_FOLDER)[0] & 0o7777 == 0o1777

    def test_another_account_cannot_replace_or_remove_pis_tagsheet(self, world):
        start(world)
        write_tagsheet(world)
        for attack in ("mv %s %s.old" % (TAGSHEET, TAGSHEET), "rm -f " + TAGSHEET,
                       "ln -sf /dev/null " + TAGSHEET):
            assert world.as_user(OTHER, attack).returncode != 0, attack
        assert world.files(DAY_FOLDER) == {os.path.basename(TAGSHEET).encode(): b"a row\n"}

    @pytest.mark.parametrize("name", ["STICK", "My Stick", b"caf\xe9 \xff"])
    def test_an_export_copies_unmounts_and_removes_the_mount_point(self, world, name):
        start(world)
        write_tagsheet(world)
        stick = world.insert_stick(name)
        copy, unmount, remove = export(world, name)
        assert (copy.returncode, unmount.returncode, remove.returncode) == (0, 0, 0), \
            (copy.stderr, unmount.stderr, remove.stderr)
        assert world.files(stick) == {("%s/Non-Tag-%s.txt" % (DAY, DAY)).encode(): b"a row\n"}
        assert world.root("ls -A /media/pi").stdout == b""

    def test_every_name_the_logger_exports_to_is_allowed(self, world):
        refused = [name for name in HOSTILE_NAMES if not all(
            world.allows([PROGRAMS + "/" + command] + arguments + [b"/media/pi/" + name])
            for command, arguments in (("rsync", ["-avx", TAGSHEETS + "/"]), ("umount", []),
                                       ("rm", ["-r"])))]
        assert refused == []


class TestWhatPiCannotDo:
    def test_a_link_to_shadow_named_like_a_day_is_not_followed(self, world):
        before = world.stat("/etc/shadow")
        world.as_pi("ln -s /etc/shadow " + DAY_FOLDER)
        start(world)
        assert world.stat("/etc/shadow") == before

    def test_a_tagsheet_folder_linked_elsewhere_gets_no_folder_there(self, world):
        world.as_pi("mv %s %s.real && ln -s /etc/systemd/system %s" % (TAGSHEETS, TAGSHEETS,
                                                                          TAGSHEETS))
        start(world)
        assert not world.exists("/etc/systemd/system/" + DAY)

    def test_the_export_copies_nothing_pi_cannot_read(self, world):
        world.as_pi("mv %s %s.real && ln -s /etc %s" % (TAGSHEETS, TAGSHEETS, TAGSHEETS))
        stick = world.insert_stick("STICK", size="64m")
        export(world, "STICK")
        copied = world.files(stick)
        assert b"shadow" not in copied and b"sudoers" not in copied
        assert not any(name.startswith(b"sudoers.d/") for name in copied)

    def test_one_argument_that_reads_as_two_is_refused(self, world):
        world.root("echo secret >/root/marker")
        line = "sudo rsync -avx '%s/ /media/pi/root'" % TAGSHEETS
        result = world.as_pi(line)
        assert result.returncode != 0
        assert b"marker" not in result.stdout + result.stderr
        assert b"refused" in result.stderr

    def test_the_systems_own_commands_stay_out_of_reach(self, world):
        for argv in (["/usr/bin/chmod", "a+r+w", DAY_FOLDER], ["/usr/bin/mkdir", DAY_FOLDER],
                     ["/usr/bin/rsync", "-avx", TAGSHEETS + "/", "/media/pi/STICK"],
                     ["/usr/bin/umount", "/media/pi/STICK"], ["/usr/bin/rm", "-r", "/media/pi/x"]):
            assert not world.allows(argv), argv

    def test_lines_the_logger_never_runs_are_refused(self, world):
        world.insert_stick("STICK")
        for line in ("sudo rm -r /media/pi/STICK/..", "sudo rm -rf /media/pi/STICK",
                     "sudo umount /media/pi/STICK /media/pi", "sudo chmod 777 " + DAY_FOLDER,
                     "sudo %s/chmod a+r+w /etc" % PROGRAMS):
            assert world.as_pi(line).returncode != 0, line
        assert world.root("mountpoint -q /media/pi/STICK").returncode == 0

    def test_no_unmount_or_removal_where_pi_could_redirect_it(self, world):
        world.insert_stick("STICK")
        world.root("chown pi /media/pi")
        _, unmount, remove = export(world, "STICK")
        assert b"only root may change" in unmount.stderr
        assert b"only root may change" in remove.stderr
        assert world.root("mountpoint -q /media/pi/STICK").returncode == 0

    def test_a_stick_still_mounted_is_never_removed(self, world):
        stick = world.insert_stick("STICK")
        world.root("echo keep >%s/file" % stick)
        result = world.as_pi("sudo rm -r /media/pi/STICK")
        assert result.returncode != 0 and b"still a mount point" in result.stderr
        assert world.files(stick) == {b"file": b"keep\n"}


class TestTheReadmesWayToEditTheConfiguration:
    """The README has the board's first user edit pi's files with sudoedit.
    Raspberry Pi OS gives its first user every right (010_pi-nopasswd)."""

    def test_sudoedit_works_for_another_first_user_but_not_for_pi_itself(self, world):
        world.root("printf '%s\\n' 'pi ALL=(ALL) NOPASSWD: ALL' 'other ALL=(ALL) NOPASSWD: ALL' "
                   ">/etc/sudoers.d/010_first-user && chmod 0440 /etc/sudoers.d/010_first-user")
        config = "/home/pi/Configuration/range_low.txt"
        world.as_pi("printf '0.5\\n' >" + config)
        edit = "SUDO_EDITOR='sed -i s/0.5/0.7/' sudoedit " + config
        refused = world.as_pi(edit)
        assert refused.returncode == 1
        assert refused.stderr.decode().strip() == (
            "sudoedit: %s: editing files in a writable directory is not permitted" % config)
        # pi owns the file: an editor of pi's own does it.
        assert world.as_user(OTHER, edit).returncode == 0
        assert world.files("/home/pi/Configuration")[b"range_low.txt"] == b"0.7\n"
