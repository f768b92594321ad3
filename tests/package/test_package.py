"""The Debian package: installed into a scratch root by the real dpkg with its
maintainer scripts, its launcher run in the sandbox against the simulated
radar, then upgraded, removed and purged."""
import os
import shlex
import shutil
import stat

import pytest

import radar_sim
from sandbox import Sandbox
from scratch_root import ScratchRoot

CONFIG = "/home/pi/Configuration"
TAGSHEETS = CONFIG + "/Tagsheets"
SHIPPED_PAGE = "/usr/share/kestrel/kestrel-report.html"
PAGE = TAGSHEETS + "/kestrel-report.html"  # where every export takes it from
PACKAGE_FILES = {
    "/usr/bin/kestrel": 0o755,
    "/usr/bin/kestrel-report": 0o755,
    "/usr/libexec/kestrel/kestrel-usb-mount": 0o755,
    "/usr/libexec/kestrel/kestrel-ended": 0o755,
    "/usr/libexec/kestrel/kestrel-note": 0o755,
    **{"/usr/libexec/kestrel/sudo/" + command: 0o755
       for command in ("find", "mkdir", "chmod", "rsync", "umount", "rm")},
    "/usr/lib/python3/dist-packages/kestrel.abi3.so": 0o644,
    "/usr/lib/python3/dist-packages/buzzer.abi3.so": 0o644,
    "/lib/systemd/system/kestrel.service": 0o644,
    "/lib/systemd/system/kestrel-usb-ready.service": 0o644,
    "/lib/systemd/system/media-pi.mount": 0o644,
    "/lib/udev/rules.d/90-kestrel.rules": 0o644,
    "/etc/kestrel/buzzer.conf": 0o644,
    "/etc/sudoers.d/kestrel": 0o440,
    "/usr/share/man/man1/kestrel.1.gz": 0o644,
    "/usr/share/man/man1/kestrel-report.1.gz": 0o644,
    "/usr/share/kestrel/kestrel-report.html": 0o644,
    "/usr/share/doc/kestrel/changelog.gz": 0o644,
    "/usr/share/doc/kestrel/copyright": 0o644,
}
DEFAULTS = {
    "range_low.txt": b"0.5\n",
    "range_high.txt": b"3.0\n",
    "current_time.txt": b" ",
    "Serial.txt": b"unknown\n",  # no "Serial" line in this machine's /proc/cpuinfo
}
WANTS = "/etc/systemd/system/multi-user.target.wants/"
SERVICE_LINK = WANTS + "kestrel.service"
UNITS = {"kestrel.service": WANTS, "kestrel-usb-ready.service": WANTS,
         "media-pi.mount": "/etc/systemd/system/local-fs.target.wants/"}


def mode(root, inside):
    return stat.S_IMODE(os.lstat(root.path(inside)).st_mode)


@pytest.fixture(scope="module")
def installed(deb):
    with ScratchRoot() as root:
        root.dpkg("--install", deb=deb)
        yield root


class TestInstall:
    def test_every_file_with_its_permissions(self, installed):
        listed = installed.run(["dpkg", "--listfiles", "kestrel"]).stdout.split()
        files = {path for path in listed if not os.path.isdir(installed.path(path))}
        assert files == set(PACKAGE_FILES)
        for path, expected in PACKAGE_FILES.items():
            assert (mode(installed, path), installed.owner(path)) == (expected, ("root", "root")), path

    def test_folders_and_configuration_files_with_their_defaults(self, installed):
        for folder in (CONFIG, CONFIG + "/Tagsheets"):
            assert (mode(installed, folder), installed.owner(folder)) == (0o755, ("pi", "pi"))
        assert mode(installed, "/media/pi") == 0o755
        for name, content in DEFAULTS.items():
            path = CONFIG + "/" + name
            assert installed.path(path).read_bytes() == content, name
            assert (mode(installed, path), installed.owner(path)) == (0o644, ("pi", "pi")), name

    def test_the_report_page_is_pis_at_the_top_of_the_tagsheets(self, installed):
        assert installed.path(PAGE).read_bytes() == installed.path(SHIPPED_PAGE).read_bytes()
        assert (mode(installed, PAGE), installed.owner(PAGE)) == (0o644, ("pi", "pi"))
        assert os.listdir(installed.path(TAGSHEETS)) == ["kestrel-report.html"]

    def test_the_units_are_enabled_for_boot_and_valid_with_the_services_user(self, installed):
        for unit, wants in UNITS.items():
            assert os.readlink(installed.path(wants + unit)) == "/lib/systemd/system/" + unit
        assert installed.run(["getent", "passwd", "pi"]).stdout.split(":")[5] == "/home/pi"
        installed.run(["getent", "group", "gpio", "dialout"])
        verify = installed.run(["systemd-analyze", "verify"] +
                               ["/lib/systemd/system/" + unit for unit in UNITS])
        assert verify.stdout + verify.stderr == ""

    def test_the_installed_buzzer_reads_its_configuration_and_names_the_missing_line(self, installed):
        installed.path("/etc/kestrel/buzzer.conf").write_text("line = GPIO23\n")
        result = installed.run(["/usr/bin/python3", "-c", "import buzzer"], check=False)
        assert result.returncode == 1
        assert result.stderr.splitlines()[-1] == ('FileNotFoundError: [Errno 2] GPIO line "GPIO23" '
                                                  'not found: there is no GPIO chip (/dev/gpiochip*)')


# Where the logger's sudo lines find their commands (its PATH starts there).
PROGRAMS = "/usr/libexec/kestrel/sudo/"


OURS = ("find", "mkdir", "chmod", "rsync", "umount", "rm")


def as_the_logger_names_it(argv):
    name = PROGRAMS + argv[0] if argv[0] in OURS else shutil.which(argv[0]) or argv[0]
    return [name] + list(argv[1:])


def sudo_allows(root, argv):
    """Whether the scratch root's sudo lets pi run argv, a command named as
    the logger's PATH finds it, without a password."""
    result = root.run(["sudo", "-n", "-l", "-U", "pi"] + as_the_logger_names_it(argv),
                      check=False)
    assert result.returncode in (0, 1), result.stderr
    return result.returncode == 0


def program_refuses(root, argv):
    """Whether kestrel's program for argv refuses it outright. Run as pi, so
    that one which did not would have no more rights than pi."""
    pi = root.owner("/home/pi")[0]
    result = root.run(["setpriv", "--reuid=" + pi, "--regid=" + pi, "--init-groups"]
                      + as_the_logger_names_it(argv), check=False)
    return result.returncode == 1 and "refused: not a line the logger runs" in result.stderr


DAY = "/home/pi/Configuration/Tagsheets/01-06-2026"


class TestSudoRule:
    def test_sudo_parses_the_whole_configuration_with_the_rule(self, installed):
        result = installed.run(["visudo", "-c"])
        assert "/etc/sudoers.d/kestrel: parsed OK" in result.stdout

    @pytest.mark.parametrize("argv", [
        ["find", "/home/pi/Configuration/Tagsheets", "-name", "01-06-2026"],
        ["mkdir", DAY],
        ["chmod", "a+r+w", DAY],
        ["rsync", "-avx", "/home/pi/Configuration/Tagsheets/", "/media/pi/STICK"],
        ["umount", "/media/pi/STICK"],
        ["rm", "-r", "/media/pi/STICK"],
        ["rsync", "-avx", "/home/pi/Configuration/Tagsheets/", "/media/pi/My$Stick'\"\t*"],
        ["umount", "/media/pi/..hidden"],
        ["rm", "-r", "/media/pi/.x"],
        # One argument, one path: a stick may be labelled so.
        ["rsync", "-avx", "/home/pi/Configuration/Tagsheets/", "/media/pi/STICK --remove-source-files"],
        ["/usr/sbin/reboot"],
    ])
    def test_each_command_of_the_logger_is_allowed(self, installed, argv):
        assert sudo_allows(installed, argv)

    @pytest.mark.parametrize("argv", [
        ["find", "/home/pi/Configuration/Tagsheets", "-name", "01-06-2026", "-delete"],
        ["find", "/home/pi/Configuration/Tagsheets", "-name", "*"],
        ["find", "/", "-name", "01-06-2026"],
        ["mkdir", "-p", DAY],
        ["mkdir", DAY, "/etc/cron.d/x"],
        ["mkdir", "/home/pi/Configuration/Tagsheets/../../../etc"],
        ["chmod", "a+r+w", "/etc/shadow"],
        ["chmod", "-R", "a+r+w", DAY],
        ["chmod", "u+s", DAY],
        ["rsync", "-avx", "/home/pi/Configuration/Tagsheets/", "/media/pi/STICK", "--delete"],
        ["rsync", "-avx", "/home/pi/Configuration/Tagsheets/", "/media/pi/STICK", "cron.d"],
        ["rsync", "-avx", "--remove-source-files", "/home/pi/Configuration/Tagsheets/", "/media/pi/S"],
        ["rsync", "-avx", "/etc/", "/media/pi/STICK"],
        ["rsync", "-avx", "/home/pi/Configuration/Tagsheets/", "/media/pi/.."],
        ["rsync", "-avx", "/home/pi/Configuration/Tagsheets/", "/media/pi/STICK/../../etc"],
        ["rsync", "-avx", "/home/pi/Configuration/Tagsheets/", "/etc"],
        ["umount", "/"],
        ["umount", "-a"],
        ["umount", "/media/pi/."],
        ["umount", "/media/pi/STICK", "/boot/firmware"],
        ["rm", "-r", "/media/pi/.."],
        ["rm", "-r", "/media/pi/STICK", "/home/pi"],
        ["rm", "-rf", "/media/pi/STICK"],
        ["rm", "-r", "/media/pi/STICK/../../../home/pi"],
        ["rm", "-r", "theDir", "/media/pi/STICK"],
        ["/usr/sbin/reboot", "--force"],
        ["/usr/sbin/shutdown", "now"],
        ["sh", "-c", "reboot"],
    ])
    def test_near_misses_are_refused(self, installed, argv):
        # The export's lines end in any mount name, so the rule leaves those to
        # kestrel's program, which takes exactly the logger's arguments.
        assert not sudo_allows(installed, argv) or program_refuses(installed, argv)

    def test_nobody_else_gets_a_right(self, installed):
        installed.run(["adduser", "--quiet", "--disabled-password", "--gecos", "", "first"])
        result = installed.run(["sudo", "-n", "-l", "-U", "first", "reboot"], check=False)
        assert result.returncode == 1


class TestStop:
    def stop_commands(self, root):
        unit = root.path("/lib/systemd/system/kestrel.service").read_text()
        return [line.split("=", 1)[1] for line in unit.splitlines()
                if line.startswith("ExecStopPost=")]

    def test_the_buzzer_is_claimed_silent_as_the_services_user_whatever_the_result(
            self, installed):
        silence, note = self.stop_commands(installed)
        assert silence.startswith("-") and note == "+/usr/libexec/kestrel/kestrel-ended"
        installed.path("/etc/kestrel/buzzer.conf").write_text("line = GPIO23\n")
        result = installed.run(["setpriv", "--reuid=pi", "--regid=pi", "--init-groups"] +
                               shlex.split(silence[1:]), check=False)
        assert result.returncode == 1
        assert result.stderr.splitlines()[-1].endswith('GPIO line "GPIO23" not found: '
                                                       'there is no GPIO chip (/dev/gpiochip*)')


class TestLauncher:
    def test_runs_the_installed_module_through_detections_and_an_export(self, installed):
        with Sandbox(system_root=installed.merged, module=False) as box:
            for name in DEFAULTS:
                shutil.copy(installed.path(CONFIG + "/" + name), box.config_dir / name)
            shutil.copy(installed.path(PAGE), box.tagsheets_dir)
            # The launcher's PATH has the recording sudo run kestrel's programs,
            # which do the start's steps as pi, in pi's own tree.
            pi = os.lstat(installed.path("/home/pi"))
            for folder, _, names in os.walk(box.home):
                for path in [folder] + [os.path.join(folder, name) for name in names]:
                    os.chown(path, pi.st_uid, pi.st_gid)
            box.start(command=["/usr/bin/kestrel"])
            maps = b"".join(open("/proc/%d/maps" % pid, "rb").read() for pid in box.pids())
            assert b"/usr/lib/python3/dist-packages/kestrel.abi3.so" in maps

            box.send(radar_sim.encode_frame(125) + radar_sim.encode_frame(400))
            box.wait_consumed()
            box.wait_for_console(rb"Distance of object:4\.00")
            assert [line for line in box.console() if line.startswith(b"Distance")] == [
                b"Distance of object:1.25", b"Distance of object:4.00"]
            assert box.buzzer_log() == ["blow", "off"]

            box.insert_stick("STICK")
            box.send(b"\x00")
            box.wait_for_sudo(b"reboot", timeout=15)
            copied = box.stick_files("STICK")
            # The page the package put at the top of the tagsheets travels with them.
            assert copied.pop("kestrel-report.html") == installed.path(SHIPPED_PAGE).read_bytes()
            assert len(copied) == 1
            (sheet,) = copied.values()
            assert b"        1.25\n" in sheet and b"        4.00\n" not in sheet

            ran = [[arg.decode() for arg in argv] for argv in box.sudo_log()]
            assert [argv[0] for argv in ran] == ["find", "mkdir", "chmod", "rsync", "umount",
                                                 "rm", "reboot"]
            for argv in ran:
                assert sudo_allows(installed, argv), argv


class TestLifecycle:
    def test_upgrade_remove_and_purge_keep_what_is_not_theirs(self, deb):
        with ScratchRoot() as root:
            root.dpkg("--install", deb=deb)
            root.path(CONFIG + "/range_low.txt").write_bytes(b"1.5\n")
            root.path(CONFIG + "/Serial.txt").unlink()
            root.path("/etc/kestrel/buzzer.conf").write_text("line = GPIO23\n")
            sheet = root.path(CONFIG + "/Tagsheets/01-06-2026/Non-Tag-01-06-2026.txt")
            sheet.parent.mkdir()
            sheet.write_bytes(b"Equipment Stop Time: \n")
            shipped = root.path(SHIPPED_PAGE).read_bytes()
            root.path(PAGE).write_bytes(b"an older version's page")

            root.dpkg("--install", deb=deb)  # the upgrade path: configure with the old version
            assert root.path(CONFIG + "/range_low.txt").read_bytes() == b"1.5\n"
            assert root.path(CONFIG + "/Serial.txt").read_bytes() == DEFAULTS["Serial.txt"]
            assert root.path("/etc/kestrel/buzzer.conf").read_text() == "line = GPIO23\n"
            assert root.path(PAGE).read_bytes() == shipped
            assert root.owner(PAGE) == ("pi", "pi")

            root.dpkg("--remove", "kestrel")
            assert not root.path("/usr/bin/kestrel").exists()
            assert not root.path("/usr/lib/python3/dist-packages/kestrel.abi3.so").exists()
            assert root.path("/etc/kestrel/buzzer.conf").exists()
            assert root.path("/etc/sudoers.d/kestrel").exists()  # a conffile, kept until purge
            assert root.path(CONFIG + "/range_low.txt").read_bytes() == b"1.5\n"
            assert os.listdir(root.path(TAGSHEETS)) == ["01-06-2026"]  # the page went with it

            root.path("/var/log/kestrel").mkdir()
            (root.path("/var/log/kestrel") / "runs.log").write_text("run ended\n")
            root.dpkg("--purge", "kestrel")
            assert not root.path("/var/log/kestrel").exists()
            assert not root.path("/etc/sudoers.d/kestrel").exists()
            assert not root.path("/etc/kestrel").exists()
            assert not root.path(SERVICE_LINK).exists()
            assert sorted(os.listdir(root.path(CONFIG))) == ["Tagsheets"]
            assert sheet.read_bytes() == b"Equipment Stop Time: \n"
            assert not root.path("/media/pi").exists()

    def test_purge_removes_the_folders_it_made_where_they_are_empty(self, deb):
        with ScratchRoot() as root:
            root.dpkg("--install", deb=deb)
            root.dpkg("--purge", "kestrel")
            assert not root.path(CONFIG).exists()
            assert not root.path("/media/pi").exists()
            assert root.path("/home/pi").is_dir()  # the account's home, which held the tagsheets


def planted_by_pi(root, inside):
    """Makes pi the owner of a link the test planted in pi's tree, as if pi had."""
    pi = os.lstat(root.path("/home/pi"))
    os.lchown(root.path(inside), pi.st_uid, pi.st_gid)


class TestPlantedLinks:
    """The maintainer scripts run as root, and pi may plant links in pi's own tree: the
    report's page is put there and removed as pi, so a link leads nowhere pi could not go."""

    def test_a_link_in_place_of_the_page_is_replaced_and_removed_not_followed(self, deb):
        with ScratchRoot() as root:
            root.dpkg("--install", deb=deb)
            shipped = root.path(SHIPPED_PAGE).read_bytes()
            page, target = root.path(PAGE), root.path("/etc/kestrel/buzzer.conf")
            kept = target.read_bytes()

            def plant():
                page.unlink()
                page.symlink_to("/etc/kestrel/buzzer.conf")
                planted_by_pi(root, PAGE)

            plant()
            root.dpkg("--install", deb=deb)
            assert not page.is_symlink() and page.read_bytes() == shipped
            plant()
            root.dpkg("--remove", "kestrel")
            assert not os.path.lexists(page)
            assert target.read_bytes() == kept
            assert root.owner("/etc/kestrel/buzzer.conf") == ("root", "root")

    def test_a_link_in_place_of_the_tagsheets_leads_only_where_pi_may_write(self, deb):
        with ScratchRoot() as root:
            root.dpkg("--install", deb=deb)
            shutil.rmtree(root.path(TAGSHEETS))
            root.path(TAGSHEETS).symlink_to("/etc/kestrel")
            planted_by_pi(root, TAGSHEETS)
            upgrade = root.dpkg("--install", deb=deb)
            assert os.listdir(root.path("/etc/kestrel")) == ["buzzer.conf"]
            assert "the report page could not be put into " + TAGSHEETS in upgrade.stderr

            root.path("/etc/kestrel/kestrel-report.html").write_bytes(b"root's own")
            root.dpkg("--remove", "kestrel")
            assert root.path("/etc/kestrel/kestrel-report.html").read_bytes() == b"root's own"

    def test_configuration_files_are_made_and_purged_as_pi(self, deb):
        """A default file is written beside its place first: a link pi plants
        there must not have root write into root's file, nor a link in place of
        the configuration folder have root make or remove anything of root's."""
        with ScratchRoot() as root:
            root.dpkg("--install", deb=deb)
            target = root.path("/etc/kestrel/buzzer.conf")
            kept = target.read_bytes()
            root.path(CONFIG + "/range_low.txt").unlink()
            planted = CONFIG + "/range_low.txt.dpkg-new"
            root.path(planted).symlink_to("/etc/kestrel/buzzer.conf")
            planted_by_pi(root, planted)
            root.dpkg("--install", deb=deb)
            assert target.read_bytes() == kept
            assert root.owner("/etc/kestrel/buzzer.conf") == ("root", "root")

            shutil.rmtree(root.path(CONFIG))
            root.path(CONFIG).symlink_to("/etc/kestrel")
            planted_by_pi(root, CONFIG)
            root.path("/etc/kestrel/Serial.txt").write_bytes(b"root's own")
            root.dpkg("--install", deb=deb)
            assert sorted(os.listdir(root.path("/etc/kestrel"))) == ["Serial.txt", "buzzer.conf"]
            root.dpkg("--purge", "kestrel")
            assert root.path("/etc/kestrel/Serial.txt").read_bytes() == b"root's own"
