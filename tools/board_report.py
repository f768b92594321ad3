#!/usr/bin/python3
"""Writes the board tests' reports (Markdown, on standard output) from the
results of runs of scripts/board-test.

    board_report.py board IMAGE/manifest.json STARTED_EPOCH COMMAND RUN/results.json...
        one board's run, as JSON: the image's manifest, the command, and the
        results of each guest the run used (side by side, one architecture)
    board_report.py report BOARD.json
        that board's report
    board_report.py soak BOARD.json
        the page of a soak's run (scripts/board-test --soak)
    board_report.py side-by-side BOARD.json...
        the boards' outcomes and figures side by side, then each one's details
"""
import json
import sys
import time

EXFAT_NOTE = ("exFAT stores no mode bits and, unlike FAT, has no option to ignore a change of "
              "them: rsync, run as pi, cannot give the day folders their mode (writable by all, "
              "sticky) and ends with status 23 although the copy is whole, as the README says. "
              "The test fails on any other complaint.")
# How results written before the architecture was recorded ran.
ARMHF_QEMU = "qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 2 -m 512"
OUTCOMES = {"passed": "passed", "failed": "**FAILED**", "xfailed": "expected failure",
            "xpassed": "**passed, but marked as an expected failure**",
            "skipped": "skipped", "error": "**ERROR**"}
RECORDED = (("buzzer_after_stop", "After `systemctl stop kestrel` with the buzzer sounding"),
            ("getty_restart", "`systemctl restart getty@tty1` during a run"),
            ("stick_left_in", "The stick left in after an export, at the next boot"))
POWER_CUT_FIGURES = (("cuts", "cuts"), ("of them during an export", "during_export"),
                     ("rows on disk before each cut (the snapshot)", "rows_before_each_cut_on_disk"),
                     ("cuts that left a damaged file", "cuts_with_damaged_files"),
                     ("damaged files in all", "damaged_files"),
                     ("rows lost per cut, median", "rows_lost_median"),
                     ("rows lost per cut, worst", "rows_lost_worst"),
                     ("seconds to restore the running logger, median", "restore_seconds_median"),
                     ("seed of the random moments", "seed"))
POWER_CUT_METHOD = (
    "Each cut restores a snapshot of the running logger (its rows synced to disk), streams "
    "frames at 20 a second (8 in 10 inside the window) and kills QEMU; every fourth cut comes "
    "during an export (a stick plugged in, frames outside the window to notice it). The disk is "
    "read as the next boot finds it: a copy, `e2fsck -fy`, then `debugfs`. Rows sent counts the "
    "snapshot's rows and the frames inside the window sent before the cut, so frames still on "
    "their way through the UART count as lost.")
SOAK_FIGURES = (("cuts", "cuts"), ("of them during an export", "during_export"),
                ("rows on disk at the end", "rows_at_the_end"),
                ("cuts that left a damaged file", "cuts_with_damaged_files"),
                ("damaged files in all", "damaged_files"),
                ("rows lost per cut, median", "rows_lost_median"),
                ("rows lost per cut, worst", "rows_lost_worst"),
                ("seconds to boot after a cut, median", "boot_seconds_median"),
                ("seed of the random moments", "seed"))
SOAK_METHOD = (
    "`scripts/board-test --soak`: one board's power cut again and again, each boot taking up "
    "what the cut before left (the logger's repair included), one cut in four during an export. "
    "Each cut's disk is read on the host as in the power cuts' scenario; rows sent are the rows "
    "found after the cut before and the frames inside the window sent since.")
FACT_SECTIONS = (  # title, key of the figures, what was done
    ("A stick that cannot be mounted", "unmountable_stick", (
        "An NTFS stick inserted while the logger runs, with `ntfs-3g` removed on a kernel "
        "without `ntfs3`, so that its mount fails; then radar frames. `/media/pi` was listed "
        "five times a second from before the stick until the helper's note.")),
    ("Links planted by pi", "planted_links", (
        "pi links a day to /etc/shadow and the tagsheet folder to /etc/systemd/system and to "
        "/etc, then runs the logger's start and export lines itself: root's files and folders "
        "stay as they were, and the stick gets nothing pi could not read")),
    ("Booted from a USB disk", "usb_boot", (
        "The board's disk, after a shutdown, copied to a USB disk (FAT `bootfs` and the root "
        "file system, mounted by PARTUUID) and booted from it behind the xHCI controller, a "
        "stick with two partitions in the other port. The kernel removes no partition that is "
        "in use, so no real `add` can come for a device that is mounted; boot-time replays carry "
        "SYNTH_UUID and are ignored without a note. Real adds were made with `partx` for the "
        "boot partition (unmounted for it) and for the stick's second partition while its "
        "first was mounted by hand at /mnt.")),
    ("A desktop board", "desktop", (
        "The installed board booted again with udisks2 installed from a stick (fetched for "
        "ARCH on the host) and running; its first user is not pi and nobody is logged in. A "
        "FAT stick inserted with the logger stopped, an NTFS stick that cannot be mounted, "
        "then an export.")),
    ("For the technician", "technician", (
        "A board of its own, restored from the installed state: `systemctl status kestrel` read "
        "by the first user after radar frames; a stick inserted while the radar sends nothing; "
        "a 4 MiB stick for 4 MB of tagsheets; a stick whose disk QEMU throttles to a byte and a "
        "request a second once it is mounted (the kernel's command timeout raised, so that it "
        "waits on it); the card filled by root as far as df shows space, the logger restarted, "
        "radar frames, then a stick; then the card filled to its last block, root's reserve "
        "too, and a stick. Guest seconds: the module's whole time, the restore included.")),
    ("The clock without network or clock battery", "clock", (
        "The same boot: no network interface; the board's clock chip starts in 2000, so the "
        "time comes from what `fake-hwclock` and `systemd-timesyncd` saved at the shutdown "
        "before, which lags the real time by as long as the board was off.")),
    ("Diagnostics across a restart", "journal", (
        "`range_low.txt` set to `abc`, the service restarted and failing, the value put back; "
        "then an export restarts the board (`sudo reboot`), and `cat /var/log/kestrel/*.log` "
        "as the first user still shows the failure below.")),
)
DISK_WRITES_METHOD = ("512-byte sectors written to the guest's disk (`/sys/block/vda/stat`), the "
                      "whole system's writes included.")
BOOT_METHOD = "Power on (or the guest's own restart) until the console's shell answers."


def minutes(seconds):
    return "%d min %02d s" % divmod(round(seconds), 60)


def restores(seconds):
    """(count, "median s, worst s") of the restores of the installed state."""
    if not seconds:
        return 0, "-"
    ordered = sorted(seconds)
    return len(ordered), "%.1f s, %.1f s" % (ordered[len(ordered) // 2], ordered[-1])


def table(header, rows):
    """A Markdown table: the header's cells, then one line per row of cells."""
    lines = ["| %s |" % " | ".join(header), "|%s" % ("---|" * len(header))]
    return lines + ["| %s |" % " | ".join(str(cell) for cell in row) for row in rows]


def merged(runs):
    """The results of guests that ran side by side, as one run."""
    first = min(runs, key=lambda run: run["started"])
    last = max(runs, key=lambda run: run["finished"])
    results = {"started": first["started"], "finished": last["finished"],
               "seconds": round(last["finished"] - first["started"]),
               "load_start": first["load_start"], "load_end": last["load_end"],
               "qemu": first.get("qemu", ARMHF_QEMU), "tests": {}, "figures": {}, "boots": [],
               "restores": []}
    for run in runs:
        for nodeid, test in run["tests"].items():
            results["tests"][nodeid] = dict(test, order=len(results["tests"]))
        results["figures"].update(run["figures"])
        results["boots"] += run["boots"]
        results["restores"] += run.get("restores", [])
    return results


def board(manifest, started, command, runs):
    """One board's run: what its report is made from."""
    return {"arch": manifest.get("arch", "armhf"), "manifest": manifest, "started": started,
            "command": command, "results": merged(runs)}


def run_rows(one):
    """(label, value) of a board's run."""
    results, manifest, started = one["results"], one["manifest"], one["started"]
    kernel = manifest["kernel"]
    restored, restore_times = restores(results.get("restores", []))
    return [
        ("command", "`%s`" % one["command"]),
        ("run on", time.strftime("%Y-%m-%d", time.gmtime(results["started"]))),
        ("QEMU, under TCG", "`%s`" % results["qemu"]),
        ("kernel", "%s (%s)" % (kernel["package"], kernel["version"])),
        ("whole run", minutes(results["finished"] - started)),
        ("of it the scenarios", minutes(results["seconds"])),
        ("guest image", "%s %s" % ("built in this run, in" if manifest["built_at"] >= started
                                   else "cached; it was built in",
                                   minutes(manifest["build_seconds"]))),
        ("load average of the machine at start and end", "%s and %s" % (
            results["load_start"], results["load_end"])),
        ("`apt install` on the guest", "%s s" % results["figures"].get("install_seconds", "-")),
        ("a scenario's board restored from the installed state (median, worst of %d)"
         % restored, restore_times),
        ("tests", tally(results["tests"])),
    ]


def tally(tests):
    counts = {}
    for test in tests.values():
        outcome = test.get("outcome")
        counts[outcome] = counts.get(outcome, 0) + 1
    return ", ".join("%d %s" % (count, outcome) for outcome, count in sorted(counts.items()))


def boot_rows(one):
    """{(what, nth such boot): seconds}, in the order the boots came."""
    rows, seen = {}, {}
    for boot in one["results"]["boots"]:
        nth = seen[boot["what"]] = seen.get(boot["what"], 0) + 1
        rows[(boot["what"], nth)] = boot["seconds"]
    return rows


def scenario_rows(one):
    """{(scenario, title, test): (outcome, expected failure's fault)}, in scenario order, and
    the counts of the outcomes of the test tools' own checks."""
    rows, checks = {}, {}
    for test in sorted(one["results"]["tests"].values(),
                       key=lambda test: (test.get("scenario") or 99, test.get("order", 0))):
        outcome = OUTCOMES.get(test.get("outcome"), test.get("outcome"))
        if test.get("scenario") is None:
            checks[outcome] = checks.get(outcome, 0) + 1
        else:
            rows[(test["scenario"], test["title"], test["doc"])] = (outcome, test.get("reason", ""))
    return rows, checks


def checks_line(checks):
    return ("The checks these rely on (record parser, crash-state judging, the sticks and the USB "
            "disk made and read on the host): %s." % ", ".join(
                "%d %s" % (count, outcome) for outcome, count in sorted(checks.items())))


def side_by_side_rows(keyed):
    """The keys of several {key: value} in their first order, each with its value per board."""
    keys = []
    for rows in keyed:
        keys += [key for key in rows if key not in keys]
    return [(key, [rows.get(key, "-") for rows in keyed]) for key in keys]


def facts(title, found, explanation=""):
    """A heading, an optional paragraph and a line per recorded fact."""
    lines = ["", "### " + title, ""]
    if explanation:
        lines += [explanation, ""]
    if not found:
        return lines + ["not reached"]
    return lines + ["- %s: `%s`" % (key.replace("_", " "), json.dumps(value))
                    for key, value in found.items()]


def other_file_system_lines(found):
    lines = ["", "### exFAT and NTFS sticks made on the host", "",
             "Hot-plugged with the logger stopped, copied to with the logger's own "
             "`sudo rsync -avx` as pi, compared with `diff -r`, unmounted, pulled, and checked on "
             "the host (`fsck.exfat -n`, `ntfsfix -n`). NTFS through `ntfs-3g`.", ""]
    rows = []
    for name in ("ntfs-3g", "exfat"):
        seen = found.get(name)
        if not seen:
            rows.append((name, "not reached", "", "", "", ""))
            continue
        rows.append((name, "`%s`" % seen["mounted_as"], seen["rsync_exit_status"],
                     "<br>".join("`%s`" % line for line in seen["rsync_complaints"]) or "none",
                     "yes" if seen["copy_identical"] else "**no**",
                     "exit %d" % seen["host_check_exit"]))
    lines += table(("stick", "mounted as", "rsync exit status", "rsync's complaints",
                    "copy identical", "host check"), rows)
    return lines + ["", EXFAT_NOTE]


def each_cut_lines(cuts):
    rows = []
    for cut in cuts.get("each", []):
        moment = ("%.1f s after the stick" % cut["seconds_after_stick"]
                  if cut["during"] == "export" else "%.1f s of frames" % cut["seconds_streaming"])
        damage = "; ".join("%s: %s" % (path.rsplit("/", 1)[-1], what)
                           for path, what in cut["damaged"].items()) or "none"
        if "stick_fsck" in cut:
            damage += "; stick's fsck.fat exit %d" % cut["stick_fsck"]
        rows.append((cut["cut"], cut["during"], moment, cut["rows_sent"], cut["rows_found"],
                     cut["rows_lost"], cut["e2fsck"], "`%r`" % cut["last_seen"],
                     damage.replace("|", "\\|")))
    return table(("cut", "during", "moment", "rows sent", "rows found", "lost", "e2fsck",
                  "last-seen", "damage"), rows)


def soak_lines(found):
    if not found:
        return []
    return (["", "## A soak of power cuts", "", SOAK_METHOD, ""]
            + table(("", ""), [(label, found.get(key)) for label, key in SOAK_FIGURES])
            + [""] + each_cut_lines(found))


def recorded_lines(figures, arch):
    """What the scenarios recorded beyond pass or fail, for one board."""
    lines = ["- %s: %s" % (what, json.dumps(figures.get(key, "not reached")))
             for key, what in RECORDED]
    lines += other_file_system_lines(figures.get("other_file_systems", {}))
    for title, key, explanation in FACT_SECTIONS:
        lines += facts(title, figures.get(key), explanation.replace("ARCH", arch))
    if figures.get("failure_note"):
        lines += ["", "```", figures["failure_note"], "```"]
    return lines


def setup_paragraph(arches, first_users):
    names = ", ".join("`kestrel_VERSION_%s.deb`" % arch for arch in arches)
    return (
        "The package (%s) is installed with `apt install` (the .deb arrives on a USB stick, "
        "mounted by hand at /mnt) on a Debian 12 guest of its architecture under TCG, set up as "
        "Raspberry Pi OS Lite sets up a board: first user %s with the passwordless sudo drop-in "
        "`010_pi-nopasswd`, `/dev/serial0` linked to the UART (the radar), groups `gpio` and "
        "`dialout`, a simulated GPIO chip whose line 18 is `GPIO18`, getty on tty1, the journal "
        "in RAM only (`Storage=volatile`, Raspberry Pi OS's `40-rpi-volatile-storage.conf`), "
        "`fake-hwclock` and `ntfs-3g` as Lite has them, no network interface, no desktop "
        "automounter (but for the desktop board)." % (
            names, " and ".join(sorted("`%s`" % user for user in set(first_users)))))


def generated_line(boards):
    return "Generated by %s from %s; do not edit." % (
        " and ".join("`%s`" % one["command"] for one in boards),
        "its own run" if len(boards) == 1 else "their own runs")


def report(one):
    """One board's report."""
    results, arch = one["results"], one["arch"]
    figures = results["figures"]
    scenarios, checks = scenario_rows(one)
    lines = ["# kestrel on a booted %s board" % arch, "", generated_line([one]), "",
             setup_paragraph([arch], [one["manifest"]["first_user"]]), "", "## Run", ""]
    lines += table(("", ""), [("architecture", arch)] + run_rows(one))
    lines += ["", "## Boot times", "", BOOT_METHOD, ""]
    lines += table(("boot", "seconds"), [(what, seconds)
                                         for (what, _), seconds in boot_rows(one).items()])
    lines += ["", "## Scenarios", ""]
    lines += table(("#", "scenario", "test", "outcome", "expected failure: the fault"),
                   [key + value for key, value in scenarios.items()])
    if checks:
        lines += ["", checks_line(checks)]
    lines += ["", "## Recorded behaviour", ""] + recorded_lines(figures, arch)
    lines += ["", "## Disk writes", "", DISK_WRITES_METHOD, ""]
    lines += table(("", ""), [(key.replace("_", " "), value)
                              for key, value in figures.get("disk_writes", {}).items()])
    lines += ["", "## Power cuts", ""]
    cuts = figures.get("power_cuts")
    if cuts:
        lines += [POWER_CUT_METHOD, ""]
        lines += table(("", ""), [(label, cuts.get(key)) for label, key in POWER_CUT_FIGURES])
        lines += [""] + each_cut_lines(cuts)
    else:
        lines.append("not reached")
    lines += soak_lines(figures.get("soak"))
    return "\n".join(lines) + "\n"


def soak_report(one):
    """A soak's own page: the run, then its cuts."""
    arch = one["arch"]
    lines = ["# kestrel on a booted %s board: a soak of power cuts" % arch, "",
             generated_line([one]), "", setup_paragraph([arch], [one["manifest"]["first_user"]]),
             "", "## Run", ""]
    # A soak installs nothing and restores nothing: those rows would only say "-".
    done = [row for row in run_rows(one) if not str(row[1]).startswith("-")]
    lines += table(("", ""), [("architecture", arch)] + done)
    lines += soak_lines(one["results"]["figures"].get("soak")) or ["", "The soak was not reached."]
    return "\n".join(lines) + "\n"


def side_by_side(boards):
    """The boards' outcomes and figures side by side, then what each recorded in detail."""
    arches = [one["arch"] for one in boards]
    lines = ["# kestrel on booted boards: %s" % " and ".join(arches), "", generated_line(boards),
             "", setup_paragraph(arches, [one["manifest"]["first_user"] for one in boards]),
             "", "## Runs", ""]
    runs = [dict(run_rows(one)) for one in boards]
    lines += table([""] + arches, [[label] + values for label, values in side_by_side_rows(runs)])
    lines += ["", "## Boot times", "", BOOT_METHOD, ""]
    boots = side_by_side_rows([boot_rows(one) for one in boards])
    lines += table(["boot"] + arches, [[what] + values for (what, _), values in boots])
    lines += ["", "## Scenarios", ""]
    scenarios = [scenario_rows(one) for one in boards]
    rows = []
    for key, values in side_by_side_rows([found for found, _ in scenarios]):
        faults = "; ".join(sorted({value[1] for value in values if value != "-" and value[1]}))
        rows.append(list(key) + [value if value == "-" else value[0] for value in values]
                    + [faults])
    lines += table(["#", "scenario", "test"] + arches + ["expected failure: the fault"], rows)
    lines += [""] + ["%s: %s" % (arch, checks_line(checks))
                     for arch, (_, checks) in zip(arches, scenarios) if checks]
    lines += ["", "## Power cuts", "", POWER_CUT_METHOD, ""]
    cuts = [one["results"]["figures"].get("power_cuts") or {} for one in boards]
    lines += table([""] + arches, [[label] + [found.get(key, "not reached") for found in cuts]
                                   for label, key in POWER_CUT_FIGURES])
    lines += ["", "## Disk writes", "", DISK_WRITES_METHOD, ""]
    writes = side_by_side_rows([one["results"]["figures"].get("disk_writes", {})
                                for one in boards])
    lines += table([""] + arches, [[key.replace("_", " ")] + values for key, values in writes])
    for one, found in zip(boards, cuts):
        lines += ["", "## %s in detail" % one["arch"], ""]
        lines += recorded_lines(one["results"]["figures"], one["arch"])
        if found:
            lines += ["", "### Each power cut", ""] + each_cut_lines(found)
        lines += [line.replace("## A soak", "### A soak")
                  for line in soak_lines(one["results"]["figures"].get("soak"))]
    return "\n".join(lines) + "\n"


def load(path):
    with open(path) as found:
        return json.load(found)


def main(argv):
    mode, arguments = (argv[1], argv[2:]) if len(argv) > 2 else (None, [])
    if mode == "board" and len(arguments) >= 4:
        json.dump(board(load(arguments[0]), float(arguments[1]), arguments[2],
                        [load(path) for path in arguments[3:]]), sys.stdout, indent=1)
    elif mode == "report" and len(arguments) == 1:
        sys.stdout.write(report(load(arguments[0])))
    elif mode == "soak" and len(arguments) == 1:
        sys.stdout.write(soak_report(load(arguments[0])))
    elif mode == "side-by-side" and arguments:
        sys.stdout.write(side_by_side([load(path) for path in arguments]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
