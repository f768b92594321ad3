"""The armhf package runs on every Raspberry Pi, the ARM1176 of the Pi 1 and the Zero included
(ARMv6KZ, VFPv2, no Thumb-2, no NEON): every ELF file in it says so in its build attributes,
holds no Thumb code, and each of its ARM instructions runs on an emulated ARM1176 wherever an
ARMv7 processor runs it. The shipped files also work: kestrel-report under emulation writes
what the native build writes, and the buzzer module loads and reports a bad configuration."""
import os
import re
import shutil
import struct
import subprocess
from pathlib import Path

import pytest
from elftools.elf.constants import SH_FLAGS
from elftools.elf.elffile import ELFFile

REPO = Path(__file__).resolve().parents[2]
PACKAGES = REPO / "build" / "package" / "armhf"
ARMHF_ROOT = REPO / "build" / "armhf" / "root"
ELF_FILES = {
    "usr/lib/python3/dist-packages/kestrel.abi3.so",
    "usr/lib/python3/dist-packages/buzzer.abi3.so",
    "usr/bin/kestrel-report",
    *("usr/libexec/kestrel/sudo/" + name for name in ("find", "mkdir", "chmod", "rsync", "umount",
                                                       "rm")),
}
ARMV6_FLAGS = ["-march=armv6kz+fp", "-mfpu=vfp", "-mfloat-abi=hard", "-marm"]
SIGILL = 4
MAPPING_SYMBOL = re.compile(r"\$([atd])(\..*)?$")


def unpack(deb, into):
    into.mkdir()
    subprocess.run(["dpkg-deb", "-x", str(deb), str(into)], check=True)
    return into


def one_deb(pattern):
    found = sorted(PACKAGES.glob(pattern))
    if len(found) != 1:
        pytest.fail("%s: expected one %s, found %s (scripts/build-package armhf)"
                    % (PACKAGES, pattern, [p.name for p in found]), pytrace=False)
    return found[0]


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    return unpack(one_deb("kestrel_*_armhf.deb"), tmp_path_factory.mktemp("armhf") / "package")


@pytest.fixture(scope="module")
def debug_files(tmp_path_factory):
    return unpack(one_deb("kestrel-dbgsym_*_armhf.deb"),
                  tmp_path_factory.mktemp("armhf") / "dbgsym")


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def attributes(path):
    """The build attributes readelf -A prints, as {tag: value}."""
    out = subprocess.run(["readelf", "-A", str(path)], check=True, capture_output=True,
                         text=True).stdout
    return dict(re.findall(r"^\s+(Tag_\w+): (.*)$", out, re.M))


def armv6_faults(tags):
    """What in these build attributes a Pi 1 or Zero could not run."""
    faults = []
    if tags.get("Tag_CPU_arch") not in ("v6", "v6K", "v6KZ"):
        faults.append("architecture %s" % tags.get("Tag_CPU_arch"))
    if tags.get("Tag_THUMB_ISA_use", "Thumb-1") != "Thumb-1":
        faults.append("Thumb: %s" % tags["Tag_THUMB_ISA_use"])
    if tags.get("Tag_FP_arch") != "VFPv2":
        faults.append("floating point %s" % tags.get("Tag_FP_arch"))
    if tags.get("Tag_Advanced_SIMD_arch", "No") != "No":
        faults.append("Advanced SIMD %s" % tags["Tag_Advanced_SIMD_arch"])
    if tags.get("Tag_ABI_VFP_args") != "VFP registers":
        faults.append("not the hard-float calling convention")
    return faults


def mapping_symbols(path):
    """(address, kind) of every mapping symbol: kind a (ARM code), t (Thumb code), d (data)."""
    with open(path, "rb") as f:
        symbols = ELFFile(f).get_section_by_name(".symtab")
        assert symbols is not None, "%s has no symbol table" % path
        marks = [(s["st_value"], MAPPING_SYMBOL.match(s.name).group(1))
                 for s in symbols.iter_symbols() if MAPPING_SYMBOL.match(s.name)]
    return sorted(marks)


def debug_file_of(path, debug_files):
    """The file with the stripped symbols of path, the mapping symbols among them."""
    with open(path, "rb") as f:
        note = next(ELFFile(f).get_section_by_name(".note.gnu.build-id").iter_notes())
    build_id = note["n_desc"]
    debug = debug_files / "usr/lib/debug/.build-id" / build_id[:2] / (build_id[2:] + ".debug")
    assert debug.is_file(), "no debug file for %s in the dbgsym package" % path
    return debug


def arm_words(path, marks):
    """Every 32-bit word of ARM code in the executable sections of path: the ranges from an $a
    mapping symbol to the next mapping symbol or the section's end. A section that starts
    without a mapping symbol counts as ARM code."""
    words = set()
    with open(path, "rb") as f:
        for section in ELFFile(f).iter_sections():
            if not section["sh_flags"] & SH_FLAGS.SHF_EXECINSTR:
                continue
            start, data = section["sh_addr"], section.data()
            inside = [(a, k) for a, k in marks if start <= a < start + len(data)]
            if not inside or inside[0][0] != start:
                inside.insert(0, (start, "a"))
            ends = [a for a, _ in inside[1:]] + [start + len(data)]
            for (begin, kind), end in zip(inside, ends):
                if kind == "a":
                    assert begin % 4 == 0, "ARM code at %#x is not word-aligned" % begin
                    code = data[begin - start:end - start]
                    words.update(w for (w,) in struct.iter_unpack("<I", code))
    return words


@pytest.fixture(scope="module")
def word_trial(tmp_path_factory):
    """The instruction trial, itself built for ARMv6 (it has to run on the ARM1176)."""
    program = tmp_path_factory.mktemp("trial") / "arm_word_trial"
    subprocess.run(["arm-linux-gnueabihf-g++", "-std=c++17", "-O2", *ARMV6_FLAGS,
                    "-Wall", "-Wextra", "-Werror", "-ffreestanding", "-fno-exceptions",
                    "-fno-rtti", "-fno-stack-protector", "-fno-asynchronous-unwind-tables",
                    "-fno-tree-loop-distribute-patterns", "-fno-pic", "-no-pie", "-nostdlib",
                    "-static", str(Path(__file__).with_name("arm_word_trial.cpp")),
                    "-o", str(program)], check=True)

    def signals(words, cpu):
        data = struct.pack("<%dI" % len(words), *words)
        result = subprocess.run(["qemu-arm-static", "-cpu", cpu, str(program)], input=data,
                                capture_output=True, check=True, timeout=600)
        assert len(result.stdout) == len(words)
        return dict(zip(words, result.stdout))

    return signals


def armv7_only(words, word_trial):
    """The words an ARM1176 refuses (SIGILL) and an ARMv7 processor runs: not those that every
    processor refuses, such as the compiler's traps (UDF)."""
    words = sorted(words)
    on_arm1176 = word_trial(words, "arm1176")
    refused = [w for w in words if on_arm1176[w] == SIGILL]
    on_armv7 = word_trial(refused, "cortex-a15") if refused else {}
    return ["%08x" % w for w in refused if on_armv7[w] != SIGILL]


def test_the_package_holds_these_elf_files_and_no_other(package):
    found = {str(p.relative_to(package)) for p in package.rglob("*")
             if p.is_file() and not p.is_symlink() and is_elf(p)}
    assert found == ELF_FILES


@pytest.mark.parametrize("name", sorted(ELF_FILES))
class TestEveryElfFile:
    def test_build_attributes_say_armv6_with_vfpv2(self, package, name):
        assert armv6_faults(attributes(package / name)) == []

    def test_holds_arm_code_and_no_thumb_code(self, package, debug_files, name):
        kinds = {kind for _, kind in mapping_symbols(debug_file_of(package / name, debug_files))}
        assert "a" in kinds
        assert "t" not in kinds
        with open(package / name, "rb") as f:
            elf = ELFFile(f)
            thumb_entries = [s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                             if s["st_info"]["type"] == "STT_FUNC" and s["st_value"] % 2]
            assert elf["e_entry"] % 2 == 0
        assert thumb_entries == []

    def test_links_in_only_objects_of_our_own_sources(self, package, debug_files, name):
        """The toolchain's start files and static libraries (crti.o, crtstuff.c, Scrt1.o,
        libgcc2.c, ...) would show among the source file symbols."""
        with open(debug_file_of(package / name, debug_files), "rb") as f:
            sources = {s.name for s in ELFFile(f).get_section_by_name(".symtab").iter_symbols()
                       if s["st_info"]["type"] == "STT_FILE"}
        ours = subprocess.run(["git", "ls-files", "*.cpp"], cwd=REPO, check=True,
                              capture_output=True, text=True).stdout.split()
        assert "dso_handle.cpp" in sources
        # "": the linker's own symbols (PLT, GOT, dynamic section)
        assert sources - {Path(p).name for p in ours} - {""} == set()

    def test_every_arm_instruction_runs_on_an_arm1176(self, package, debug_files, word_trial,
                                                      name):
        path = package / name
        words = arm_words(path, mapping_symbols(debug_file_of(path, debug_files)))
        assert len(words) > 100
        assert armv7_only(words, word_trial) == []


def test_the_checks_reject_debians_armv7_start_files():
    crtbegin = subprocess.run(["arm-linux-gnueabihf-gcc", "-print-file-name=crtbeginS.o"],
                              check=True, capture_output=True, text=True).stdout.strip()
    assert armv6_faults(attributes(crtbegin)) != []
    assert "t" in {kind for _, kind in mapping_symbols(crtbegin)}


def test_the_trial_tells_armv7_instructions_from_armv6_ones(word_trial):
    armv7 = {0xe3010234: "movw r0, #0x1234", 0x03410234: "movteq r0, #0x1234",
             0xf57ff05b: "dmb ish", 0xe7e311d2: "ubfx r1, r2, #3, #4",
             0xe0603291: "mls r0, r1, r2, r3", 0xe710f110: "sdiv r0, r0, r1",
             0xeeb70b00: "vmov.f64 d0, #1.0", 0xedd00b00: "vldr d16, [r0]",
             0xf2000d42: "vadd.f32 q0, q0, q1"}
    armv6 = {0xe0810002: "add r0, r1, r2", 0xe1920f9f: "ldrex r0, [r2]",
             0xe1b20f9f: "ldrexd r0, r1, [r2]", 0xee070fba: "mcr p15 barrier",
             0xee1d0f70: "mrc p15 thread register", 0xee300b01: "vadd.f64 d0, d0, d1",
             0xe6ef0070: "uxtb r0, r0", 0xe6bf0f30: "rev r0, r0", 0xe12fff1e: "bx lr",
             0xe8bd8010: "pop {r4, pc}", 0xe5801000: "str r1, [r0]", 0x1a000003: "bne",
             0xe7f000f0: "udf: traps everywhere"}
    assert sorted(armv7_only(set(armv7) | set(armv6), word_trial)) == sorted(
        "%08x" % w for w in armv7)


def test_the_trial_finds_armv7_code_that_the_attributes_hide(tmp_path, word_trial):
    """An object without build attributes does not raise the linked file's: only the
    instructions themselves tell."""
    source = tmp_path / "f.c"
    source.write_text("unsigned f(unsigned a) { return ((a >> 3) & 15) + 0x12345678; }\n")
    compile_c = ["arm-linux-gnueabihf-gcc", "-O2", "-fPIC", "-c", str(source)]
    subprocess.run(compile_c + ARMV6_FLAGS + ["-o", str(tmp_path / "v6.o")], check=True)
    subprocess.run(compile_c + ["-march=armv7-a+fp", "-marm", "-o", str(tmp_path / "v7.o"),
                                "-Df=g"], check=True)
    subprocess.run(["arm-linux-gnueabihf-objcopy", "--remove-section=.ARM.attributes",
                    str(tmp_path / "v7.o")], check=True)
    linked = tmp_path / "mixed.so"
    subprocess.run(["arm-linux-gnueabihf-gcc", "-shared", "-nostdlib", str(tmp_path / "v6.o"),
                    str(tmp_path / "v7.o"), "-o", str(linked)], check=True)
    assert armv6_faults(attributes(linked)) == []
    assert "t" not in {kind for _, kind in mapping_symbols(linked)}
    assert armv7_only(arm_words(linked, mapping_symbols(linked)), word_trial) != []


def under_qemu(program):
    """The command that runs an armhf program with Debian's armhf libraries (ARMv7: qemu-arm's
    default processor runs them, its ARM1176 would not)."""
    if not (ARMHF_ROOT / "usr/bin/python3.11").is_file():
        pytest.fail("%s is missing (scripts/arm-root)" % ARMHF_ROOT, pytrace=False)
    return ["qemu-arm-static", "-L", str(ARMHF_ROOT), str(program)]


def report_results(command, folder, out):
    """Without arguments and on folder: exit statuses, what kestrel-report printed and wrote."""
    usage = subprocess.run(command, capture_output=True, timeout=300)
    report = subprocess.run(command + [str(folder), str(out)], capture_output=True, timeout=300)
    written = {p.name: p.read_bytes() for p in out.iterdir()}
    shutil.rmtree(out)
    return usage.returncode, usage.stderr, report.returncode, report.stdout, report.stderr, written


def test_the_armhf_report_writes_what_the_native_one_writes(package, tmp_path):
    native = REPO / "build" / "report" / "kestrel-report"
    if not native.is_file():
        pytest.fail("%s is not built (scripts/build)" % native, pytrace=False)
    folder, out = tmp_path / "in", tmp_path / "out"
    subprocess.run([str(REPO / "bench/report/generate.py"), str(folder), "--days", "3",
                    "--rows-per-day", "900"], check=True)
    expected = report_results([str(native)], folder, out)
    assert expected[0] != 0 and expected[2] == 0
    assert expected[5].keys() == {"runs.csv", "detections.csv", "report.html"}
    assert report_results(under_qemu(package / "usr/bin/kestrel-report"), folder, out) == expected


def test_the_armhf_buzzer_module_loads_and_reports_a_bad_configuration(package, tmp_path):
    config = tmp_path / "buzzer.conf"
    config.write_text("line = GPIO18\nvolume = 11\n")
    env = dict(os.environ, KESTREL_BUZZER_CONFIG=str(config),
               PYTHONPATH=str(package / "usr/lib/python3/dist-packages"))
    result = subprocess.run(under_qemu(ARMHF_ROOT / "usr/bin/python3.11") + ["-c", "import buzzer"],
                            env=env, capture_output=True, timeout=300)
    assert result.returncode == 1
    assert result.stderr.decode().endswith('ValueError: %s:2: unknown key "volume"\n' % config)
