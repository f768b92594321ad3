"""The two boards, armhf and arm64, chosen by the image: which QEMU machine an
image gets, which kernel and build tools its build takes from the indexes,
and which cached images a build replaces. They need no board."""
import json
import os
import time

import pytest

import arm_ns
import board_report
import image
import machine


def image_folder(tmp_path, arch):
    folder = tmp_path / ("image-%s" % (arch or "old"))
    folder.mkdir()
    manifest = {"kernel": {"package": "linux-image-k", "release": "k", "version": "1"}}
    if arch:
        manifest["arch"] = arch
    (folder / "manifest.json").write_text(json.dumps(manifest))
    return str(folder)


class TestMachineOfTheImage:
    def command(self, tmp_path, arch):
        qemu = machine.Machine(image_folder(tmp_path, arch), str(tmp_path), "disk.qcow2")
        argv = qemu.command_line()
        return argv[0], dict(zip(argv[1:], argv[2:]))

    def test_arm64_image_runs_on_the_64_bit_virt_machine(self, tmp_path):
        program, options = self.command(tmp_path, "arm64")
        assert (program, options["-M"], options["-cpu"]) == (
            "qemu-system-aarch64", "virt", "cortex-a53")

    @pytest.mark.parametrize("arch", ["armhf", None])
    def test_armhf_image_keeps_its_pci_bus_below_4_gib(self, tmp_path, arch):
        """armmp is not LPAE: without highmem=off it finds no USB controller.
        Images from before the manifest named its architecture are armhf."""
        program, options = self.command(tmp_path, arch)
        assert (program, options["-M"], options["-cpu"]) == (
            "qemu-system-arm", "virt,highmem=off", "cortex-a15")

    def test_a_board_counts_instructions_on_one_thread_only_when_asked(self, tmp_path):
        """QEMU refuses -icount with multi-threaded TCG."""
        folder = image_folder(tmp_path, "armhf")
        usual = machine.Machine(folder, str(tmp_path), "disk.qcow2").command_line()
        counting = machine.Machine(folder, str(tmp_path), "disk.qcow2", cpus=1,
                                   icount=True).command_line()
        assert "-icount" not in usual
        assert usual[usual.index("-accel") + 1] == "tcg,thread=multi"
        assert counting[counting.index("-icount") + 1] == "shift=0"
        assert counting[counting.index("-accel") + 1] == "tcg"
        assert counting[counting.index("-smp") + 1] == "1"

    def test_an_image_of_another_architecture_has_no_machine(self, tmp_path):
        with pytest.raises(machine.BoardError):
            machine.Machine(image_folder(tmp_path, "riscv64"), str(tmp_path), "disk.qcow2")

    def test_qemu_that_ends_at_its_start_is_told_at_once_with_what_it_logged(self, tmp_path):
        """Not after half a minute of waiting for its sockets."""
        qemu = machine.Machine(image_folder(tmp_path, "armhf"), str(tmp_path), "missing.qcow2")
        started = time.monotonic()
        try:
            with pytest.raises(machine.BoardError, match="QEMU ended.*missing.qcow2"):
                qemu.start()
        finally:
            qemu.kill()
        assert time.monotonic() - started < 10


class FakeArchive:
    """The indexes as apt-cache answers for them."""

    arch = "arm64"

    def __init__(self, candidates, sources):
        self.candidates = candidates
        self.sources = sources

    def depends(self, package):
        return ["linux-image-6.1.0-57-arm64"] if package == "linux-image-arm64" else []

    def candidate(self, package):
        return self.candidates.get(package)

    def query(self, argv):
        assert argv == ["apt-cache", "madison", "linux-source-6.1"]
        return "".join("linux-source-6.1 | %s | http://mirror arm64 Packages\n" % version
                       for version in self.sources)


class TestKernelOfTheIndexes:
    KERNEL = "linux-image-6.1.0-57-arm64"

    def test_source_ahead_of_the_kernel_is_taken_at_the_kernel_version(self):
        archive = FakeArchive({self.KERNEL: "6.1.192-3", "linux-source-6.1": "6.1.194-1",
                               "linux-kbuild-6.1": "6.1.194-1"}, ["6.1.194-1", "6.1.192-3"])
        assert image.kernel_versions(archive, "arm64") == {
            "package": self.KERNEL, "release": "6.1.0-57-arm64", "version": "6.1.192-3",
            "kbuild": "6.1.194-1"}

    @pytest.mark.parametrize("sources, kbuild", [(["6.1.194-1"], "6.1.194-1"),
                                                 (["6.1.192-3"], "6.1.176-1"),
                                                 (["6.1.192-3"], None)])
    def test_no_source_at_the_kernel_version_or_older_build_tools_are_refused(self, sources,
                                                                              kbuild):
        archive = FakeArchive({self.KERNEL: "6.1.192-3", "linux-kbuild-6.1": kbuild}, sources)
        with pytest.raises(image.ImageError):
            image.kernel_versions(archive, "arm64")

    def test_an_architecture_without_a_guest_is_refused(self, tmp_path):
        with pytest.raises(image.ImageError):
            image.image(str(tmp_path), "i386")


def test_a_build_replaces_only_the_images_of_its_own_architecture(tmp_path):
    names = ["image-arm64-0123456789abcdef", "image-arm64-fedcba9876543210.work",
             "image-armhf-0123456789abcdef", "image-0123456789abcdef", "image-armhf.log",
             "image-arm64.log"]
    for name in names:
        (tmp_path / name).mkdir()

    def stale(arch):
        return sorted(os.path.basename(path) for path in image.stale_images(str(tmp_path), arch))
    assert stale("arm64") == ["image-arm64-0123456789abcdef", "image-arm64-fedcba9876543210.work"]
    assert stale("armhf") == ["image-0123456789abcdef", "image-armhf-0123456789abcdef"]


@pytest.mark.parametrize("arch, name", [("armhf", "qemu-arm"), ("arm64", "qemu-aarch64")])
def test_the_emulator_is_registered_under_its_own_name_and_opened_at_once(arch, name):
    fields = arm_ns.binfmt_rule(arch).split(":")
    assert (fields[1], fields[-2], fields[-1]) == (name, "/usr/bin/%s-static" % name, "F")


def board_of(arch, tests, figures, boots):
    run = {"started": 0, "finished": 60, "load_start": "0.1", "load_end": "0.2", "tests": tests,
           "figures": figures, "boots": boots, "arch": arch, "qemu": machine.describe(arch)}
    manifest = {"arch": arch, "first_user": "fieldtech", "build_seconds": 1, "built_at": 0,
                "kernel": {"package": "linux-image-" + arch, "version": "6.1.192-3"}}
    return board_report.board(manifest, 0, "scripts/board-test --arch " + arch, [run])


def scenario(number, doc, outcome, order=0):
    return {"scenario": number, "title": "Title %d" % number, "doc": doc, "outcome": outcome,
            "order": order}


def test_the_report_names_the_architecture_and_its_machine():
    text = board_report.report(board_of("arm64", {}, {}, []))
    assert "# kestrel on a booted arm64 board" in text
    assert "`kestrel_VERSION_arm64.deb`" in text
    assert "| QEMU, under TCG | `qemu-system-aarch64 -M virt -cpu cortex-a53 -smp 2 -m 1024` |" in text
    assert "| architecture | arm64 |" in text


def test_side_by_side_lines_up_each_scenario_boot_and_figure_under_both_boards():
    armhf = board_of("armhf", {"a": scenario(1, "installs", "passed"),
                               "b": scenario(7, "cuts", "failed", 1)},
                     {"power_cuts": {"cuts": 20, "rows_lost_worst": 3}},
                     [{"what": "first boot", "seconds": 58.0}, {"what": "reboot", "seconds": 61.0},
                      {"what": "reboot", "seconds": 62.0}])
    arm64 = board_of("arm64", {"a": scenario(1, "installs", "passed"),
                               "c": scenario(2, "rows", "xfailed")},
                     {"power_cuts": {"cuts": 5, "rows_lost_worst": 1}},
                     [{"what": "first boot", "seconds": 51.0}, {"what": "reboot", "seconds": 60.0}])
    lines = board_report.side_by_side([armhf, arm64]).splitlines()
    assert lines[0] == "# kestrel on booted boards: armhf and arm64"
    for row in ("| 1 | Title 1 | installs | passed | passed | |",
                "| 2 | Title 2 | rows | - | expected failure | |",
                "| 7 | Title 7 | cuts | **FAILED** | - | |",
                "| first boot | 58.0 | 51.0 |", "| reboot | 61.0 | 60.0 |", "| reboot | 62.0 | - |",
                "| cuts | 20 | 5 |", "| rows lost per cut, worst | 3 | 1 |",
                "| tests | 1 failed, 1 passed | 1 passed, 1 xfailed |"):
        assert row.replace("| |", "|  |") in lines, row
    assert lines.index("## armhf in detail") < lines.index("## arm64 in detail")


def test_a_soak_has_a_page_of_its_own_with_every_cut():
    cut = {"cut": 1, "during": "export", "seconds_after_stick": 2.5, "rows_sent": 10,
           "rows_found": 9, "rows_lost": 1, "e2fsck": 1, "last_seen": "12:00:00",
           "damaged": {"/home/pi/x/current_time.txt": "empty"}}
    soak = {"cuts": 1, "cuts_with_damaged_files": 1, "rows_lost_worst": 1, "each": [cut]}
    lines = board_report.soak_report(board_of("armhf", {}, {"soak": soak}, [])).splitlines()
    assert lines[0] == "# kestrel on a booted armhf board: a soak of power cuts"
    for row in ("| cuts that left a damaged file | 1 |", "| rows lost per cut, worst | 1 |",
                "| 1 | export | 2.5 s after the stick | 10 | 9 | 1 | 1 | `'12:00:00'` "
                "| current_time.txt: empty |"):
        assert row in lines, row
    unreached = board_report.soak_report(board_of("armhf", {}, {}, []))
    assert unreached.rstrip().endswith("The soak was not reached.")
