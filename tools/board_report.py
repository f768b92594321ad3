#!/usr/bin/python3
"""Writes the board tests' report (Markdown, on standard output) from the
results of a run of scripts/board-test: one results file for each guest the
run used, side by side, all of one architecture (armhf or arm64), as the
image's manifest names it.

    board_report.py IMAGE/manifest.json STARTED_EPOCH COMMAND RUN/results.json...
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


def minutes(seconds):
    return "%d min %02d s" % divmod(round(seconds), 60)


def restores(seconds):
    """(count, "median s, worst s") of the restores of the installed state."""
    if not seconds:
        return 0, "-"
    ordered = sorted(seconds)
    return len(ordered), "%.1f s, %.1f s" % (ordered[len(ordered) // 2], ordered[-1])


def scenario_table(tests):
    """A row per scenario test; the checks of the test tools themselves in one line."""
    lines = ["| # | scenario | test | outcome | expected failure: the fault |", "|---|---|---|---|---|"]
    checks = {}
    for test in sorted(tests.values(), key=lambda test: (test.get("scenario") or 99,
                                                         test.get("order", 0))):
        number = test.get("scenario")
        outcome = OUTCOMES.get(test.get("outcome"), test.get("outcome"))
        if number is None:
            checks[outcome] = checks.get(outcome, 0) + 1
            continue
        lines.append("| %d | %s | %s | %s | %s |" % (
            number, test["title"], test["doc"], outcome, test.get("reason", "")))
    if checks:
        lines += ["", "The checks these rely on (record parser, crash-state judging, the sticks "
                  "and the USB disk made and read on the host): %s." % ", ".join(
                      "%d %s" % (count, outcome) for outcome, count in sorted(checks.items()))]
    return lines


def power_cut_lines(cuts):
    lines = ["| | |", "|---|---|"]
    for label, key in (("cuts", "cuts"), ("of them during an export", "during_export"),
                       ("rows on disk before each cut (the snapshot)", "rows_before_each_cut_on_disk"),
                       ("cuts that left a damaged file", "cuts_with_damaged_files"),
                       ("damaged files in all", "damaged_files"),
                       ("rows lost per cut, median", "rows_lost_median"),
                       ("rows lost per cut, worst", "rows_lost_worst"),
                       ("seconds to restore the running logger, median", "restore_seconds_median"),
                       ("seed of the random moments", "seed")):
        lines.append("| %s | %s |" % (label, cuts.get(key)))
    lines += ["", "| cut | during | moment | rows sent | rows found | lost | e2fsck | last-seen | damage |",
              "|---|---|---|---|---|---|---|---|---|"]
    for cut in cuts.get("each", []):
        moment = ("%.1f s after the stick" % cut["seconds_after_stick"]
                  if cut["during"] == "export" else "%.1f s of frames" % cut["seconds_streaming"])
        damage = "; ".join("%s: %s" % (path.rsplit("/", 1)[-1], what)
                           for path, what in cut["damaged"].items()) or "none"
        if "stick_fsck" in cut:
            damage += "; stick's fsck.fat exit %d" % cut["stick_fsck"]
        lines.append("| %d | %s | %s | %d | %d | %d | %d | `%r` | %s |" % (
            cut["cut"], cut["during"], moment, cut["rows_sent"], cut["rows_found"],
            cut["rows_lost"], cut["e2fsck"], cut["last_seen"], damage.replace("|", "\\|")))
    return lines


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
             "the host (`fsck.exfat -n`, `ntfsfix -n`). NTFS through `ntfs-3g`.", "",
             "| stick | mounted as | rsync exit status | rsync's complaints | copy identical "
             "| host check |", "|---|---|---|---|---|---|"]
    for name in ("ntfs-3g", "exfat"):
        seen = found.get(name)
        if not seen:
            lines.append("| %s | not reached | | | | |" % name)
            continue
        lines.append("| %s | `%s` | %d | %s | %s | exit %d |" % (
            name, seen["mounted_as"], seen["rsync_exit_status"],
            "<br>".join("`%s`" % line for line in seen["rsync_complaints"]) or "none",
            "yes" if seen["copy_identical"] else "**no**", seen["host_check_exit"]))
    return lines + ["", EXFAT_NOTE]


def usb_boot_lines(found):
    return facts("Booted from a USB disk", found, (
        "The board's disk, after the tests above and a shutdown, copied to a USB disk (FAT "
        "`bootfs` and the root file system, mounted by PARTUUID) and booted from it behind the "
        "xHCI controller, a stick with two partitions in the other port. The kernel removes no "
        "partition that is in use, so no real `add` can come for a device that is mounted; "
        "boot-time replays carry SYNTH_UUID and are ignored without a note. Real adds were made "
        "with `partx` for the boot partition (unmounted for it) and for the stick's second "
        "partition while its first was mounted by hand at /mnt."))


def clock_lines(found):
    return facts("The clock without network or clock battery", found, (
        "The same boot: no network interface; the board's clock chip starts in 2000, so the "
        "time comes from what `fake-hwclock` and `systemd-timesyncd` saved at the shutdown "
        "before, which lags the real time by as long as the board was off."))


def diagnostics_lines(figures):
    lines = facts("Diagnostics across a restart", figures.get("journal"), (
        "`range_low.txt` set to `abc`, the service restarted and failing, the value put back; "
        "then an export restarts the board (`sudo reboot`), and `cat /var/log/kestrel/*.log` "
        "as the first user still shows the failure below."))
    note = figures.get("failure_note")
    if note:
        lines += ["", "```", note, "```"]
    return lines


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


def report(results, manifest, started, command):
    figures = results["figures"]
    kernel = manifest["kernel"]
    arch = manifest.get("arch", "armhf")
    lines = [
        "# kestrel on a booted %s board" % arch,
        "",
        "Generated by `%s` on %s from its own run; do not edit." % (
            command, time.strftime("%Y-%m-%d", time.gmtime(results["started"]))),
        "",
        "The %s package is installed with `apt install ./kestrel_VERSION_%s.deb` (the .deb "
        "arrives on a USB stick, mounted by hand at /mnt) on a Debian 12 %s guest in "
        "`%s` under TCG, set up as Raspberry Pi OS Lite sets up " % (arch, arch, arch,
                                                                    results["qemu"]) +
        "a board: first user `%s` with the passwordless sudo drop-in `010_pi-nopasswd`, "
        "`/dev/serial0` linked to the UART (the radar), groups `gpio` and `dialout`, a simulated "
        "GPIO chip whose line 18 is `GPIO18`, getty on tty1, the journal in RAM only "
        "(`Storage=volatile`, Raspberry Pi OS's `40-rpi-volatile-storage.conf`), `fake-hwclock` "
        "and `ntfs-3g` as Lite has them, no network interface, no desktop automounter (but for "
        "scenario 14). "
        "Kernel %s (%s)." % (manifest["first_user"], kernel["package"], kernel["version"]),
        "",
        "## Run",
        "",
        "| | |",
        "|---|---|",
        "| architecture | %s |" % arch,
        "| whole run | %s |" % minutes(results["finished"] - started),
        "| of it the scenarios | %s |" % minutes(results["seconds"]),
        "| guest image | %s %s |" % ("built in this run, in" if manifest["built_at"] >= started
                                     else "cached; it was built in",
                                     minutes(manifest["build_seconds"])),
        "| load average of the machine at start and end | %s and %s |" % (
            results["load_start"], results["load_end"]),
        "| `apt install` on the guest | %s s |" % figures.get("install_seconds", "-"),
        "| a scenario's board restored from the installed state (median, worst of %d) | %s |"
        % restores(results.get("restores", [])),
        "",
        "## Boot times",
        "",
        "Power on (or the guest's own restart) until the console's shell answers.",
        "",
        "| boot | seconds |",
        "|---|---|",
    ]
    lines += ["| %s | %s |" % (boot["what"], boot["seconds"]) for boot in results["boots"]]
    lines += ["", "## Scenarios", ""] + scenario_table(results["tests"])
    lines += ["", "## Recorded behaviour", ""]
    recorded = (("buzzer_after_stop", "After `systemctl stop kestrel` with the buzzer sounding"),
                ("getty_restart", "`systemctl restart getty@tty1` during a run"),
                ("stick_left_in", "The stick left in after an export, at the next boot"))
    for key, what in recorded:
        lines.append("- %s: %s" % (what, json.dumps(figures.get(key, "not reached"))))
    lines += other_file_system_lines(figures.get("other_file_systems", {}))
    lines += facts("A stick that cannot be mounted", figures.get("unmountable_stick"), (
        "An NTFS stick inserted while the logger runs, with `ntfs-3g` removed on a kernel "
        "without `ntfs3`, so that its mount fails; then radar frames. `/media/pi` was listed "
        "five times a second from before the stick until the helper's note."))
    lines += facts("Links planted by pi", figures.get("planted_links"), (
        "pi links a day to /etc/shadow and the tagsheet folder to /etc/systemd/system and to "
        "/etc, then runs the logger's start and export lines itself: root's files and folders "
        "stay as they were, and the stick gets nothing pi could not read"))
    lines += usb_boot_lines(figures.get("usb_boot"))
    lines += facts("A desktop board", figures.get("desktop"), (
        "The installed board booted again with udisks2 installed from a stick (fetched for "
        "armhf on the host) and running; its first user is not pi and nobody is logged in. A "
        "FAT stick inserted with the logger stopped, an NTFS stick that cannot be mounted, "
        "then an export.").replace("for armhf", "for " + arch))
    lines += facts("For the technician", figures.get("technician"), (
        "A board of its own, restored from the installed state: `systemctl status kestrel` read by the first user "
        "after radar frames; a stick inserted while the radar sends nothing; a 4 MiB stick for "
        "4 MB of tagsheets; a stick whose disk QEMU throttles to a byte and a request a second "
        "once it is mounted (the kernel's command timeout raised, so that it waits on it); the "
        "card filled by root as far as df shows space, the logger restarted, radar frames, "
        "then a stick; then the card filled to its last block, root's reserve too, and a "
        "stick. Guest seconds: the module's whole time, the restore included."))
    lines += clock_lines(figures.get("clock"))
    lines += diagnostics_lines(figures)
    writes = figures.get("disk_writes", {})
    lines += ["", "## Disk writes", "",
              "512-byte sectors written to the guest's disk (`/sys/block/vda/stat`), the whole "
              "system's writes included.", "",
              "| | |", "|---|---|"]
    for key, value in writes.items():
        lines.append("| %s | %s |" % (key.replace("_", " "), value))
    lines += ["", "## Power cuts", ""]
    cuts = figures.get("power_cuts")
    if cuts:
        lines += ["Each cut restores a snapshot of the running logger (its rows synced to disk), "
                  "streams frames at 20 a second (8 in 10 inside the window) and kills QEMU; "
                  "every fourth cut comes during an export (a stick plugged in, frames outside "
                  "the window to notice it). The disk is read as the next boot finds it: a copy, "
                  "`e2fsck -fy`, then `debugfs`. Rows sent counts the snapshot's rows and the "
                  "frames inside the window sent before the cut, so frames still on their way "
                  "through the UART count as lost.", ""]
        lines += power_cut_lines(cuts)
    else:
        lines.append("not reached")
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) < 5:
        sys.exit(__doc__)
    runs = []
    for path in argv[4:]:
        with open(path) as results:
            runs.append(json.load(results))
    with open(argv[1]) as manifest:
        sys.stdout.write(report(merged(runs), json.load(manifest), float(argv[2]), argv[3]))


if __name__ == "__main__":
    main(sys.argv)
